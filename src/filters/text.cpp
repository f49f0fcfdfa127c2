#include "filters/text.hpp"

#include <cstring>

#include "filters/fragments.hpp"

namespace vexa {

FragmentTrie fragment_trie;

void build_fragment_trie() {
    FragmentTrie& t = fragment_trie;
    std::memset(&t, 0, sizeof t);
    t.node_count = 1;
    std::uint32_t code = FIRST_CODE;
    for (std::uint32_t slot = 1; slot < FRAGMENT_SLOTS; ++slot, ++code) {
        std::uint32_t node = 0;
        for (const char* c = fragment_table[slot]; *c; ++c) {
            std::uint32_t& next = t.nodes[node].child[*c - 'a'];
            if (next == 0) next = t.node_count++;
            node = next;
        }
        t.nodes[node].code = static_cast<std::uint8_t>(code);
        t.code_to_entry[code] = slot;
        t.code_letters[code] = static_cast<std::uint8_t>(std::strlen(fragment_table[slot]));
    }
    t.first_free_code = code;
}

namespace {

bool is_code(std::uint32_t c) { return c >= FIRST_CODE && c < fragment_trie.first_free_code; }
bool is_lower(std::uint32_t c) { return c >= 'a' && c <= 'z'; }

}  // namespace

std::uint32_t text_encode(std::uint8_t* block, std::uint32_t len, std::uint8_t* work) {
    if (len < TEXT_MIN_LENGTH) return 0;
    const TrieNode* const nodes = fragment_trie.nodes;
    // Refuse once 20 n >= 19 len: the output is no longer below 95 % of the block.
    const std::uint64_t limit19 = std::uint64_t{19} * len;
    std::uint32_t n = 0, pos = 0, last = 0;
    while (pos < len - 5) {
        const std::uint32_t ch = block[pos];
        if (!is_lower(ch)) {
            work[n++] = static_cast<std::uint8_t>(ch);
            if (is_code(ch)) work[n++] = static_cast<std::uint8_t>(ch);
            ++pos;
            last = 0;
        } else {
            // Longest fragment at pos; `stop` is the byte where the walk ended.
            std::uint32_t node = 0, walked = 0, candidate = 0, candidate_length = 0, stop = 0;
            for (std::uint32_t k = pos;; ++k) {
                stop = k < len ? block[k] : 0;
                if (k >= len || !is_lower(stop) || nodes[node].child[stop - 'a'] == 0) break;
                node = nodes[node].child[stop - 'a'];
                ++walked;
                if (nodes[node].code) {
                    candidate = nodes[node].code;
                    candidate_length = walked;
                }
            }
            // The item after a code must never equal it (see text_decode).
            if (candidate && candidate != stop && candidate != last) {
                work[n++] = static_cast<std::uint8_t>(candidate);
                pos += candidate_length;
                last = candidate;
            } else {
                work[n++] = static_cast<std::uint8_t>(ch);
                ++pos;
                last = 0;
            }
        }
        if (std::uint64_t{20} * n >= limit19) return 0;
    }
    for (; pos < len; ++pos) {
        work[n++] = block[pos];
        if (is_code(block[pos])) work[n++] = block[pos];
    }
    std::memset(work + n, ' ', len - n);
    std::memcpy(block, work, len);
    return 1;
}

bool text_decode(std::uint8_t* block, std::uint32_t len, std::uint8_t* work) {
    std::uint32_t r = 0, n = 0;
    while (n < len) {
        if (r >= len) return false;
        const std::uint32_t ch = block[r];
        if (!is_code(ch)) {
            work[n++] = static_cast<std::uint8_t>(ch);
            ++r;
        } else if (r + 1 < len && block[r + 1] == ch) {
            work[n++] = static_cast<std::uint8_t>(ch);
            r += 2;
        } else {
            // At most four letters: a loop, not a call to memcpy.
            const char* fragment = fragment_table[fragment_trie.code_to_entry[ch]];
            const std::uint32_t letters = fragment_trie.code_letters[ch];
            if (letters > len - n) return false;
            for (std::uint32_t k = 0; k < letters; ++k) work[n + k] = static_cast<std::uint8_t>(fragment[k]);
            n += letters;
            ++r;
        }
    }
    std::memcpy(block, work, len);
    return true;
}

}  // namespace vexa
