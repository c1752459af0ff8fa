// A small iterator over the files of one folder that match a wildcard
// pattern such as "images/*.jpg".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace glob {

// Directory part of a pattern: the text before its last separator ("/" or
// "\"), "." when it has none.
std::string directory_part(const std::string& pattern);

// Lists the regular files of the pattern's folder whose names match the last
// path component. The wildcards are "*" (any run of characters) and "?" (one
// character); every other character stands for itself and letters match
// without regard to case, so "*.jpg" also finds "IMG_0001.JPG". Names that
// begin with a dot are only found by a pattern that spells the dot. Entries
// come in byte-wise name order. Directories, broken links and other special
// files are not entries.
class Glob {
public:
    explicit Glob(const std::string& pattern);

    // Moves to the next entry; `valid` tells whether there is one.
    void Next();

    // The current entry's file name, without directory. Only meaningful
    // while `IsValid()`.
    const std::string& GetFileName() const;
    bool IsValid() const { return valid; }
    explicit operator bool() const { return valid; }

    const std::string& GetBaseDir() const { return base_dir; }

private:
    std::string base_dir;
    std::vector<std::string> entries;
    size_t position = 0;
    bool valid = false;
};

}  // namespace glob
