// English text substitution: frequent groups of two to four lowercase letters
// become single byte codes 130..252 from the built-in fragment table. A code
// byte that occurs as a literal is written twice; a code is never followed
// by the same byte, so the pair is unambiguous. The block keeps its length:
// the shortened text is padded with spaces, which the decoder never reads.
#pragma once

#include <cstdint>

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
extern FragmentTrie fragment_trie;

void build_fragment_trie();

// Replaces block[0 .. len-1] by its encoded form and returns 1, or returns 0
// and leaves the block as it was. `work` holds at least len bytes.
std::uint32_t text_encode(std::uint8_t* block, std::uint32_t len, std::uint8_t* work);

// Restores the text of an encoded block. Returns false, with the block in an
// unspecified state, when the block is damaged: a code expands past len or
// the encoded bytes run out before len bytes of text are produced. No read
// or write ever leaves block[0 .. len-1] or work[0 .. len-1].
bool text_decode(std::uint8_t* block, std::uint32_t len, std::uint8_t* work);

}  // namespace vexa
