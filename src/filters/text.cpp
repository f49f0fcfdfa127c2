#include "filters/text.hpp"

#include <cstring>


namespace vexa {

static_assert(sizeof FRAGMENT_TRIE.expansion[0] == FRAGMENT_MAX_LETTERS, "an expansion holds the longest fragment");

namespace {

bool is_code(std::uint32_t c) { return c >= FIRST_CODE && c < FRAGMENT_TRIE.first_free_code; }
bool is_lower(std::uint32_t c) { return c >= 'a' && c <= 'z'; }

// Hides from the compiler how a 0/1 value was made, so that it stays one
// value: otherwise the tests combined into it become branches of their own.
[[gnu::always_inline]] inline std::uint32_t opaque(std::uint32_t flag) {
#if defined(__GNUC__)
    asm("" : "+r"(flag));
#endif
    return flag;
}

// Whether the main loop below must refuse the block whatever codes it
// finds, so that binary blocks, whose output grows about as fast as the
// input, need not be walked almost to their end first. A lower bound on the
// output when the loop ends (past len - 5): every input byte gives one
// output byte, a code saves at most 3 of the 4 or fewer letters it takes,
// and every code byte before len - 5 is written twice. The output only
// grows, so a bound at the limit means a refusal at some step. len >= 512.
bool surely_refused(const std::uint8_t* block, std::uint32_t len) {
    std::uint32_t letters = 0, escapes = 0;
    for (std::uint32_t k = 0; k < len; ++k) letters += is_lower(block[k]);
    for (std::uint32_t k = 0; k < len - 5; ++k) escapes += is_code(block[k]);
    const std::uint64_t least = std::uint64_t{len} - 5 + escapes - 3 * std::uint64_t{letters} / 4;
    return 20 * least >= std::uint64_t{19} * len;
}

}  // namespace

std::uint32_t text_encode(std::uint8_t* block, std::uint32_t len, std::uint8_t* work) {
    if (len < TEXT_MIN_LENGTH || surely_refused(block, len)) return 0;
    const TrieNode* const nodes = FRAGMENT_TRIE.nodes;
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
    const FragmentTrie& t = FRAGMENT_TRIE;
    // Held here: every byte stored through `work` could change the table's copy.
    const std::uint32_t code_count = t.first_free_code - FIRST_CODE;
    std::uint32_t r = 0, n = 0;
    // While a whole expansion fits and the next byte can be read, every item
    // is one table lookup and one four-byte store, and the only branch is on
    // escapes, which text rarely has. A branch on code bytes, as below, goes
    // either way on text: this loop measured 2.2-2.6 times as fast.
    while (n + FRAGMENT_MAX_LETTERS <= len && r + 1 < len) {
        const std::uint32_t ch = block[r];
        const std::uint32_t escaped = opaque((ch == block[r + 1]) & (ch - FIRST_CODE < code_count));
        if (__builtin_expect(escaped, 0)) {
            work[n++] = static_cast<std::uint8_t>(ch);
            r += 2;
            continue;
        }
        std::memcpy(work + n, t.expansion[ch], sizeof t.expansion[ch]);
        n += t.expansion_length[ch];
        ++r;
    }
    // The last few items, with every bound checked.
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
            const std::uint32_t letters = t.expansion_length[ch];
            if (letters > len - n) return false;
            std::memcpy(work + n, t.expansion[ch], letters);
            n += letters;
            ++r;
        }
    }
    std::memcpy(block, work, len);
    return true;
}

}  // namespace vexa
