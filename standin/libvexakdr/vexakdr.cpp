// Stand-in for the maker's native library libvexakdr.
//
// Exports the query entry point with the maker's calling convention:
//
//   int HwinquireParameter_Py(const char *arch, const char *param_name,
//                             char *result, size_t result_size);
//
// `arch` is YAML text.  A mapping that holds `param_name` as a key with an
// integer value answers that value; otherwise a mapping whose "arch" entry
// names a built-in preset answers the preset's value.  The answer is the
// decimal text of the integer, zero-terminated, in `result`.  Status 0 means
// success; every failure (null pointer, text that is not YAML or not a
// mapping, unknown parameter or preset, a value that is not an integer, an
// answer that does not fit) gives a non-zero status and leaves the answer
// unwritten.  No exception crosses the C boundary and nothing is shared
// between calls, so any number of threads may call it at once.
#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

#define VEXAKDR_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum Status : int {
    kOk = 0,
    kNullArgument = 1,
    kUnknown = 2,
    kNotAnInteger = 3,
    kBufferTooSmall = 4,
    kMalformed = 5,
};

struct Preset {
    const char* name;
    long long channels;
};

// Built-in architectures, selectable as `arch: <name>`.
constexpr Preset kPresets[] = {
    {"vexa-nano", 8},
    {"vexa-lite", 16},
    {"vexa-pro", 32},
    {"vexa-max", 64},
};

std::optional<long long> preset_value(const std::string& preset, const std::string& param_name) {
    if (param_name != "channels") {
        return std::nullopt;
    }
    for (const Preset& candidate : kPresets) {
        if (preset == candidate.name) {
            return candidate.channels;
        }
    }
    return std::nullopt;
}

// Integer held by a scalar node; nothing for other scalars (text, floats, booleans).
std::optional<long long> integer_of(const YAML::Node& node) {
    if (!node.IsScalar()) {
        return std::nullopt;
    }
    long long value = 0;
    if (!YAML::convert<long long>::decode(node, value)) {
        return std::nullopt;
    }
    return value;
}

Status lookup(const char* arch, const std::string& param_name, long long& value) {
    const YAML::Node root = YAML::Load(arch);
    if (!root.IsMap()) {
        return kMalformed;
    }
    if (const YAML::Node direct = root[param_name]) {
        const auto integer = integer_of(direct);
        if (!integer) {
            return kNotAnInteger;
        }
        value = *integer;
        return kOk;
    }
    const YAML::Node preset = root["arch"];
    if (!preset || !preset.IsScalar()) {
        return kUnknown;
    }
    const auto from_preset = preset_value(preset.Scalar(), param_name);
    if (!from_preset) {
        return kUnknown;
    }
    value = *from_preset;
    return kOk;
}

}  // namespace

VEXAKDR_EXPORT int HwinquireParameter_Py(const char* arch, const char* param_name, char* result,
                                         std::size_t result_size) noexcept {
    if (arch == nullptr || param_name == nullptr || result == nullptr) {
        return kNullArgument;
    }
    try {
        long long value = 0;
        const Status status = lookup(arch, param_name, value);
        if (status != kOk) {
            return status;
        }
        const std::string answer = std::to_string(value);
        if (answer.size() + 1 > result_size) {
            return kBufferTooSmall;
        }
        std::memcpy(result, answer.c_str(), answer.size() + 1);
        return kOk;
    } catch (const YAML::Exception&) {
        return kMalformed;
    } catch (...) {
        return kMalformed;
    }
}

// Names of the built-in presets, separated by commas (for reports and tests).
VEXAKDR_EXPORT const char* VexakdrStandinPresets() noexcept { return "vexa-nano,vexa-lite,vexa-pro,vexa-max"; }
