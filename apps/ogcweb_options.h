// Command-line parsing shared by every ogcweb subcommand: option tables,
// the parsed result, value parsers and the two kinds of failure a command
// ends with.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace ogcweb {

// Exit statuses: scripts tell a typing mistake from a service that failed.
enum ExitStatus {
    kExitOk = 0,
    kExitFailure = 1,
    kExitUsage = 2,
};

// A command line that cannot be run as typed.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command that ran and failed; the text is the whole message after "ogcweb: ".
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct OptionDef {
    const char* name;         // long name without the dashes
    char shortName;           // 0 when none
    const char* valueName;    // null for a flag
    bool repeatable;          // every occurrence is kept; otherwise a second one is an error
    const char* help;
};

class ParsedArgs {
public:
    bool Has(const std::string& name) const { return m_values.count(name) != 0; }
    // The option's value, or `fallback` when it was not given.
    std::string Value(const std::string& name, const std::string& fallback = std::string()) const;
    // Every value of a repeatable option, in the order given.
    std::vector<std::string> Values(const std::string& name) const;
    bool HelpRequested() const { return m_help; }
    const std::vector<std::string>& Positionals() const { return m_positionals; }

private:
    friend ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs);
    std::map<std::string, std::vector<std::string>> m_values;
    std::vector<std::string> m_positionals;
    bool m_help = false;
};

// Accepts "--name value", "--name=value", "-x value", "-xvalue", flags, and
// "--" before positionals that start with a dash. "-h"/"--help" where an
// option may stand sets HelpRequested, and then no mistake elsewhere on the
// line is an error: help never depends on the rest of the line being right.
ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs);

// The options as an indented help listing.
std::string FormatOptions(const std::vector<OptionDef>& defs);

struct BoundingBox {
    double minx = 0, miny = 0, maxx = 0, maxy = 0;
};

// "minx,miny,maxx,maxy" with minx < maxx and miny < maxy.
BoundingBox ParseBoundingBox(const std::string& text);
// "WxH", both whole numbers from 1 to `limit`.
void ParseImageSize(const std::string& text, int limit, int& width, int& height);
// A whole number of seconds, at least 1.
long ParseSeconds(const std::string& text, const char* option);
// A whole number from `low` to `high`, else a usage error naming `option`.
int ParseCount(const std::string& text, const char* option, int low, int high);
// Pieces between `separator`s, each trimmed of blanks; empty pieces are errors.
std::vector<std::string> SplitList(const std::string& text, char separator, const char* what);

} // namespace ogcweb
