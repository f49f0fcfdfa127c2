// English text substitution: frequent groups of two to four lowercase letters
// become single byte codes 130..252 from the built-in fragment table. A code
// byte that occurs as a literal is written twice; a code is never followed
// by the same byte, so the pair is unambiguous. The block keeps its length:
// the shortened text is padded with spaces, which the decoder never reads.
#pragma once

#include <cstdint>

#include "filters/fragments.hpp"

namespace vexa {

inline constexpr std::uint32_t TEXT_MIN_LENGTH = 512;
inline constexpr std::uint32_t TRIE_CAPACITY = 500;

struct TrieNode {
    std::uint32_t child[26];   // 0: no child
    std::uint8_t code;         // 0: no fragment ends here
};

struct FragmentTrie {
    TrieNode nodes[TRIE_CAPACITY];
    std::uint32_t node_count;
    std::uint32_t code_to_entry[256];    // code byte -> slot; 0 for non-codes
    // What each byte value decodes to when it is not an escape: a code's
    // fragment, any other byte itself; zeros after the end.
    std::uint8_t expansion[256][4];
    std::uint8_t expansion_length[256];  // 2-4 for codes, 1 for every other byte
    std::uint32_t first_free_code;       // the first byte value after the last code
};
// Built from the fragment table at compile time: constant, so that any
// number of runs in any number of threads share it.
consteval FragmentTrie make_fragment_trie() {
    FragmentTrie t{};
    t.node_count = 1;
    std::uint32_t code = FIRST_CODE;
    for (std::uint32_t slot = 1; slot < FRAGMENT_SLOTS; ++slot, ++code) {
        std::uint32_t node = 0;
        std::uint32_t length = 0;
        for (const char* c = fragment_table[slot]; *c; ++c, ++length) {
            std::uint32_t& next = t.nodes[node].child[*c - 'a'];
            if (next == 0) next = t.node_count++;
            node = next;
        }
        t.nodes[node].code = static_cast<std::uint8_t>(code);
        t.code_to_entry[code] = slot;
        for (std::uint32_t k = 0; k < length; ++k) t.expansion[code][k] = static_cast<std::uint8_t>(fragment_table[slot][k]);
        t.expansion_length[code] = static_cast<std::uint8_t>(length);
    }
    t.first_free_code = code;
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        if (t.code_to_entry[byte] != 0) continue;
        t.expansion[byte][0] = static_cast<std::uint8_t>(byte);
        t.expansion_length[byte] = 1;
    }
    return t;
}

inline constexpr FragmentTrie FRAGMENT_TRIE = make_fragment_trie();
static_assert(FRAGMENT_TRIE.node_count == 161 && FRAGMENT_TRIE.first_free_code == 253,
              "the trie holds the table's 123 fragments");

// Replaces block[0 .. len-1] by its encoded form and returns true, or
// returns false and leaves the block as it was. `work` holds at least len bytes.
bool text_encode(std::uint8_t* block, std::uint32_t len, std::uint8_t* work);

// Restores the text of an encoded block. Returns false, with the block in an
// unspecified state, when the block is damaged: a code expands past len or
// the encoded bytes run out before len bytes of text are produced. No read
// or write ever leaves block[0 .. len-1] or work[0 .. len-1].
bool text_decode(std::uint8_t* block, std::uint32_t len, std::uint8_t* work);

}  // namespace vexa
