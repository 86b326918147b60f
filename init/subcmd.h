// The subcommand rule shared by the package's commands: the typed word
// selects the first entry, in table order, whose name begins with the same
// letter, whose minimum length the word reaches, and of which the word is a
// prefix.
#pragma once
#include <cstddef>
#include <cstring>

struct SubCommand {
    const char* name;
    int minLength;  // fewest characters the user must type
};

// Index of the selected entry, or -1.
inline int matchSubcommand(const SubCommand* table, size_t count, const char* word) {
    if (!word || !*word) return -1;
    size_t len = std::strlen(word);
    for (size_t i = 0; i < count; ++i) {
        const SubCommand& s = table[i];
        if (s.name[0] != word[0]) continue;
        if (len < static_cast<size_t>(s.minLength)) continue;
        if (std::strncmp(s.name, word, len) == 0) return static_cast<int>(i);
    }
    return -1;
}
