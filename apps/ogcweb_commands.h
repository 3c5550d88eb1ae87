// The subcommands of ogcweb. Each one is a name, its help texts, its own
// options (the common ones are added by main) and one function.
#pragma once

#include "ogcweb_options.h"

#include <vector>

namespace ogcweb {

struct Command {
    const char* name;
    const char* summary;      // one line for the overview
    const char* synopsis;     // "map URL --bbox ... -o FILE"
    const char* description;  // what its help prints before the options
    std::vector<OptionDef> options;
    int (*run)(const ParsedArgs& args);
};

const Command& InfoCommand();
const Command& MapCommand();
const Command& FeatureInfoCommand();
const Command& FeaturesCommand();
const Command& CoverageCommand();
const Command& ViewCommand();
const Command& ServeCommand();

// The one address every subcommand takes; UsageError when missing or doubled.
std::string SingleUrl(const ParsedArgs& args);

} // namespace ogcweb
