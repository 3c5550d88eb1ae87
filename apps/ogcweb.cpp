// ogcweb: opens OGC web services from the command line through the OGC Web
// Engine, loaded the way the GIS platform loads it, and working only through
// the host's interfaces.
#include "ogcweb_commands.h"
#include "ogcweb_options.h"
#include "ogcweb_session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace ogcweb {

namespace {

// New subcommands are one entry here and one file of their own.
const Command* const kCommands[] = {
    &InfoCommand(),
    &MapCommand(),
    &FeatureInfoCommand(),
    &FeaturesCommand(),
    &CoverageCommand(),
    &ViewCommand(),
    &ServeCommand(),
};

// Commands made for one kind of service open that kind unless --kind says
// otherwise.
struct DefaultKind {
    const char* command;
    const char* kind;
};
const DefaultKind kDefaultKinds[] = {
    {"features", "wfs"},
    {"coverage", "wcs"},
};

// "--kind K" in front of the options, for a command that has a kind of its
// own and a line that names none. In front, so that it never lands after a
// "--" among the positionals.
std::vector<std::string> WithDefaultKind(const Command& command, const std::vector<std::string>& options,
                                         const std::vector<OptionDef>& defs) {
    for (const DefaultKind& entry : kDefaultKinds) {
        if (std::string(entry.command) != command.name) continue;
        if (ParseArgs(options, defs).Has("kind")) return options;
        std::vector<std::string> with = {"--kind", entry.kind};
        with.insert(with.end(), options.begin(), options.end());
        return with;
    }
    return options;
}

const Command* FindCommand(const std::string& name) {
    for (const Command* command : kCommands)
        if (name == command->name) return command;
    return nullptr;
}

void PrintOverview() {
    std::printf("usage: ogcweb COMMAND URL [options]\n\n"
                "Opens OGC web services (WMS, WFS, WCS, WMTS) through the OGC Web Engine.\n\n"
                "commands:\n");
    int width = 0;
    for (const Command* command : kCommands) width = std::max(width, static_cast<int>(std::strlen(command->name)));
    for (const Command* command : kCommands) std::printf("  %-*s  %s\n", width, command->name, command->summary);
    std::printf("\n'ogcweb COMMAND --help' describes a command and its options.\n\n"
                "exit status: 0 on success, 1 when the service or a file failed, 2 for a\n"
                "command line that cannot be run.\n");
}

void PrintCommandHelp(const Command& command) {
    std::printf("usage: ogcweb %s\n\n%s\n", command.synopsis, command.description);
    if (!command.options.empty()) std::printf("options:\n%s\n", FormatOptions(command.options).c_str());
    std::vector<OptionDef> common = CommonOptions();
    common.push_back({"help", 'h', nullptr, false, "show this help"});
    std::printf("common options:\n%s", FormatOptions(common).c_str());
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("no command given (try 'ogcweb --help')");
    const std::string& first = args[0];
    if (first == "-h" || first == "--help") {
        PrintOverview();
        return kExitOk;
    }
    if (first == "--version") {
        std::printf("ogcweb %s\n", OGCWEB_VERSION);
        return kExitOk;
    }
    if (first == "help") {
        if (args.size() == 1) {
            PrintOverview();
            return kExitOk;
        }
        const Command* command = FindCommand(args[1]);
        if (!command) throw UsageError("unknown command \"" + args[1] + "\" (try 'ogcweb --help')");
        PrintCommandHelp(*command);
        return kExitOk;
    }
    const Command* command = FindCommand(first);
    if (!command) {
        const char* what = first.compare(0, 1, "-") == 0 ? "unknown option " : "unknown command ";
        throw UsageError(what + ("\"" + first + "\" (try 'ogcweb --help')"));
    }

    std::vector<OptionDef> defs = command->options;
    defs.insert(defs.end(), CommonOptions().begin(), CommonOptions().end());
    try {
        const ParsedArgs parsed =
            ParseArgs(WithDefaultKind(*command, std::vector<std::string>(args.begin() + 1, args.end()), defs), defs);
        if (parsed.HelpRequested()) {
            PrintCommandHelp(*command);
            return kExitOk;
        }
        return command->run(parsed);
    } catch (const UsageError& error) {
        throw UsageError(std::string(command->name) + ": " + error.what() + " (try 'ogcweb " + command->name +
                         " --help')");
    }
}

} // namespace

std::string SingleUrl(const ParsedArgs& args) {
    const std::vector<std::string>& positionals = args.Positionals();
    if (positionals.empty()) throw UsageError("the service address (URL) is missing");
    if (positionals.size() > 1) throw UsageError("one service address expected, got also \"" + positionals[1] + "\"");
    return positionals[0];
}

} // namespace ogcweb

int main(int argc, char** argv) {
    using namespace ogcweb;
    int status = kExitFailure;
    try {
        status = Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::fprintf(stderr, "ogcweb: %s\n", error.what());
        status = kExitUsage;
    } catch (const Failure& error) {
        std::fprintf(stderr, "ogcweb: %s\n", error.what());
        status = kExitFailure;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ogcweb: unexpected error: %s\n", error.what());
        status = kExitFailure;
    }
    // A pipe closed early or a full disk must not pass for success.
    if (std::fflush(stdout) != 0 && status == kExitOk) {
        std::fprintf(stderr, "ogcweb: cannot write the output\n");
        status = kExitFailure;
    }
    return status;
}
