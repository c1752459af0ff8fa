#include "sources/glob.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace glob {

namespace {

// Position of the last separator of either kind, or npos.
size_t last_separator(const std::string& pattern) {
    const size_t slash = pattern.rfind('/');
    const size_t backslash = pattern.rfind('\\');
    if (slash == std::string::npos) return backslash;
    if (backslash == std::string::npos) return slash;
    return std::max(slash, backslash);
}

// The last component as an fnmatch pattern: only "*" and "?" are wildcards,
// so the bracket and escape characters are escaped to stand for themselves.
std::string fnmatch_pattern(const std::string& component) {
    std::string result;
    for (const char c : component) {
        if (c == '[' || c == ']' || c == '\\') result += '\\';
        result += c;
    }
    return result;
}

}  // namespace

std::string directory_part(const std::string& pattern) {
    const size_t separator = last_separator(pattern);
    if (separator == std::string::npos) return ".";
    return pattern.substr(0, separator);
}

Glob::Glob(const std::string& pattern) : base_dir(directory_part(pattern)) {
    const size_t separator = last_separator(pattern);
    const std::string name_pattern =
        fnmatch_pattern(separator == std::string::npos ? pattern : pattern.substr(separator + 1));

    // The folder to search: backslashes count as separators as well, and an
    // empty directory part before a separator is the root folder.
    std::string folder = base_dir;
    std::replace(folder.begin(), folder.end(), '\\', '/');
    if (folder.empty()) folder = "/";

    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (!error) {
        for (; it != fs::directory_iterator(); it.increment(error)) {
            if (error) break;
            const std::string name = it->path().filename().string();
            if (::fnmatch(name_pattern.c_str(), name.c_str(), FNM_CASEFOLD | FNM_PERIOD) != 0) continue;
            std::error_code status_error;
            // Follows links: a link to an image counts, a broken link does not.
            if (!it->is_regular_file(status_error) || status_error) continue;
            entries.push_back(name);
        }
    }
    std::sort(entries.begin(), entries.end());
    valid = !entries.empty();
}

void Glob::Next() {
    if (!valid) return;
    ++position;
    valid = position < entries.size();
}

const std::string& Glob::GetFileName() const {
    static const std::string none;
    return valid ? entries[position] : none;
}

}  // namespace glob
