#include "ogcweb_options.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace ogcweb {

namespace {

const OptionDef* FindLong(const std::vector<OptionDef>& defs, const std::string& name) {
    for (const OptionDef& def : defs)
        if (name == def.name) return &def;
    return nullptr;
}

const OptionDef* FindShort(const std::vector<OptionDef>& defs, char name) {
    for (const OptionDef& def : defs)
        if (def.shortName != 0 && def.shortName == name) return &def;
    return nullptr;
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// strtod accepts "nan", "inf" and leading blanks; none of them is a coordinate.
bool ToFiniteNumber(const std::string& text, double& value) {
    const std::string trimmed = Trim(text);
    if (trimmed.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(trimmed.c_str(), &end);
    return errno == 0 && end && *end == '\0' && std::isfinite(value);
}

bool ToWholeNumber(const std::string& text, long long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    value = std::strtoll(text.c_str(), nullptr, 10);
    return errno == 0;
}

} // namespace

std::string ParsedArgs::Value(const std::string& name, const std::string& fallback) const {
    auto found = m_values.find(name);
    if (found == m_values.end() || found->second.empty()) return fallback;
    return found->second.back();
}

std::vector<std::string> ParsedArgs::Values(const std::string& name) const {
    auto found = m_values.find(name);
    return found == m_values.end() ? std::vector<std::string>() : found->second;
}

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs) {
    ParsedArgs parsed;
    // The first mistake is reported only once the whole line is read, since
    // a help request later on the line wins over it.
    std::string mistake;
    bool onlyPositionals = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (onlyPositionals || arg.size() < 2 || arg[0] != '-') {
            parsed.m_positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyPositionals = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            parsed.m_help = true;
            continue;
        }

        const OptionDef* def = nullptr;
        std::string shown;
        std::string inlineValue;
        bool hasInlineValue = false;
        if (arg.compare(0, 2, "--") == 0) {
            std::string name = arg.substr(2);
            const size_t equals = name.find('=');
            if (equals != std::string::npos) {
                inlineValue = name.substr(equals + 1);
                hasInlineValue = true;
                name.erase(equals);
            }
            def = FindLong(defs, name);
            shown = "--" + name;
        } else {
            def = FindShort(defs, arg[1]);
            shown = arg.substr(0, 2);
            if (arg.size() > 2) {
                inlineValue = arg.substr(2);
                hasInlineValue = true;
            }
        }
        std::string problem;
        std::string value;
        if (!def) {
            problem = "unknown option " + shown;
        } else if (!def->valueName && hasInlineValue) {
            problem = "option " + shown + " takes no value";
        } else if (def->valueName) {
            if (hasInlineValue) {
                value = inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                problem = "option " + shown + " needs a value (" + def->valueName + ")";
            }
        }
        if (problem.empty()) {
            std::vector<std::string>& slot = parsed.m_values[def->name];
            if (!slot.empty() && !def->repeatable)
                problem = std::string("option --") + def->name + " given twice";
            else
                slot.push_back(value);
        }
        if (mistake.empty()) mistake = problem;
    }
    if (!mistake.empty() && !parsed.m_help) throw UsageError(mistake);
    return parsed;
}

std::string FormatOptions(const std::vector<OptionDef>& defs) {
    std::vector<std::string> heads;
    size_t width = 0;
    for (const OptionDef& def : defs) {
        std::string head = def.shortName ? std::string("-") + def.shortName + ", " : std::string("    ");
        head += std::string("--") + def.name;
        if (def.valueName) head += std::string(" ") + def.valueName;
        width = std::max(width, head.size());
        heads.push_back(head);
    }
    std::ostringstream out;
    for (size_t i = 0; i < defs.size(); ++i)
        out << "  " << heads[i] << std::string(width - heads[i].size() + 2, ' ') << defs[i].help << "\n";
    return out.str();
}

BoundingBox ParseBoundingBox(const std::string& text) {
    const std::vector<std::string> numbers = SplitList(text, ',', "--bbox");
    BoundingBox box;
    double* fields[] = {&box.minx, &box.miny, &box.maxx, &box.maxy};
    if (numbers.size() != 4) throw UsageError("--bbox needs four numbers minx,miny,maxx,maxy, not \"" + text + "\"");
    for (size_t i = 0; i < 4; ++i)
        if (!ToFiniteNumber(numbers[i], *fields[i]))
            throw UsageError("--bbox: \"" + numbers[i] + "\" is not a number");
    if (!(box.minx < box.maxx) || !(box.miny < box.maxy))
        throw UsageError("--bbox: minx must be below maxx and miny below maxy");
    return box;
}

void ParseImageSize(const std::string& text, int limit, int& width, int& height) {
    const size_t x = text.find_first_of("xX");
    long long w = 0, h = 0;
    if (x == std::string::npos || !ToWholeNumber(text.substr(0, x), w) || !ToWholeNumber(text.substr(x + 1), h))
        throw UsageError("--size needs WIDTHxHEIGHT in pixels, not \"" + text + "\"");
    if (w < 1 || h < 1 || w > limit || h > limit)
        throw UsageError("--size: width and height must be from 1 to " + std::to_string(limit));
    width = static_cast<int>(w);
    height = static_cast<int>(h);
}

long ParseSeconds(const std::string& text, const char* option) {
    long long value = 0;
    if (!ToWholeNumber(text, value) || value < 1 || value > LONG_MAX)
        throw UsageError(std::string(option) + " needs a whole number of seconds, not \"" + text + "\"");
    return static_cast<long>(value);
}

int ParseCount(const std::string& text, const char* option, int low, int high) {
    long long value = 0;
    if (!ToWholeNumber(text, value) || value < low || value > high)
        throw UsageError(std::string(option) + " needs a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + text + "\"");
    return static_cast<int>(value);
}

std::vector<std::string> SplitList(const std::string& text, char separator, const char* what) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        const std::string piece = Trim(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (piece.empty()) throw UsageError(std::string(what) + ": empty item in \"" + text + "\"");
        pieces.push_back(piece);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return pieces;
}

} // namespace ogcweb
