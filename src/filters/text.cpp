#include "filters/text.hpp"

#include <algorithm>
#include <cstring>


namespace vexa {

static_assert(sizeof FRAGMENT_TRIE.expansion[0] == FRAGMENT_MAX_LETTERS, "an expansion holds the longest fragment");

namespace {

constexpr bool is_code(std::uint32_t c) { return c >= FIRST_CODE && c < FRAGMENT_TRIE.first_free_code; }
constexpr bool is_lower(std::uint32_t c) { return c >= 'a' && c <= 'z'; }

// is_code of one byte as a single unsigned compare, which the compiler can
// run on many bytes at once.
constexpr bool is_code_byte(std::uint8_t b) {
    return static_cast<std::uint8_t>(b - FIRST_CODE) < FRAGMENT_TRIE.first_free_code - FIRST_CODE;
}

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
// Also tells whether the block holds a code byte anywhere.
bool surely_refused(const std::uint8_t* block, std::uint32_t len, bool& code_bytes) {
    std::uint32_t letters = 0, escapes = 0;
    // Counters of one byte cannot overflow in 240 bytes, and let the
    // compiler count 16 bytes at a time.
    for (std::uint32_t k = 0; k < len; k += 240) {
        const std::uint32_t stop = std::min(len, k + 240);
        std::uint8_t some_letters = 0, some_escapes = 0;
        for (std::uint32_t j = k; j < stop; ++j) {
            const std::uint8_t letter = static_cast<std::uint8_t>(block[j] - 'a');
            some_letters = static_cast<std::uint8_t>(some_letters + (letter < 26));
            some_escapes = static_cast<std::uint8_t>(some_escapes + is_code_byte(block[j]));
        }
        letters += some_letters;
        escapes += some_escapes;
    }
    code_bytes = escapes != 0;
    for (std::uint32_t k = len - 5; k < len; ++k) escapes -= is_code(block[k]);
    const std::uint64_t least = std::uint64_t{len} - 5 + escapes - 3 * std::uint64_t{letters} / 4;
    return 20 * least >= std::uint64_t{19} * len;
}

// The trie walk from one position as an automaton that takes a byte at
// every step, whatever it is: once the walk has ended it stays in a state
// that records how, so four steps without a branch always get there (depth
// 4 has no children). On text, how far a walk goes is as hard to predict
// as the letters themselves.
struct WalkStates {
    std::uint32_t count;
    std::uint32_t going[TRIE_CAPACITY];   // while the walk may still leave the node
    std::uint32_t ended[TRIE_CAPACITY];   // once it ended there
    // Of a walk that ended: the code of the longest fragment on the way
    // and its letters, 0 if there is none.
    std::uint32_t code[256], letters[256];
    bool has_ended[256];
};

consteval WalkStates number_walk_states() {
    const TrieNode* const nodes = FRAGMENT_TRIE.nodes;
    WalkStates w{};
    std::uint32_t depth[TRIE_CAPACITY] = {}, code[TRIE_CAPACITY] = {}, letters[TRIE_CAPACITY] = {};
    // A parent is always made before its children.
    for (std::uint32_t node = 0; node < FRAGMENT_TRIE.node_count; ++node) {
        if (nodes[node].code) {
            code[node] = nodes[node].code;
            letters[node] = depth[node];
        }
        bool leaves = false;
        for (std::uint32_t c = 0; c < 26; ++c) {
            const std::uint32_t child = nodes[node].child[c];
            if (child == 0) continue;
            leaves = true;
            depth[child] = depth[node] + 1;
            code[child] = code[node];
            letters[child] = letters[node];
        }
        if (depth[node] > 4 || (depth[node] == 4 && leaves)) throw "a fragment has more than four letters";
        std::uint32_t state = 0;
        while (state < w.count && !(w.has_ended[state] && w.code[state] == code[node])) ++state;
        if (state == w.count) {
            if (w.count == 256) throw "too many states";
            w.has_ended[state] = true;
            w.code[state] = code[node];
            w.letters[state] = letters[node];
            ++w.count;
        }
        w.ended[node] = state;
        w.going[node] = state;
        if (leaves && node != 0) {
            if (w.count == 256) throw "too many states";
            w.going[node] = w.count++;
        }
    }
    return w;
}

inline constexpr std::uint32_t WALK_STATES = number_walk_states().count;

// What the main loop does when it takes an item, in 8 bytes: the bytes of
// text it takes, the bytes it writes (2 for an escape), the byte it writes
// twice, its code (0 for a literal) and `last` after it (its code, or 1 for
// a literal, so that a literal never meets the rule that a code is not
// followed by itself).
enum ItemByte : std::uint32_t { TAKES, WRITES, OUT, KEY = 4, AFTER, ITEM_BYTES = 8 };
using Item = std::uint8_t[ITEM_BYTES];

consteval void set_item(Item& item, std::uint32_t takes, std::uint32_t writes, std::uint32_t out, std::uint32_t key,
                        std::uint32_t after) {
    const std::uint32_t bytes[] = {takes, writes, out, out, key, after};
    for (std::uint32_t k = 0; k < 6; ++k) item[k] = static_cast<std::uint8_t>(bytes[k]);
}

struct WalkAutomaton {
    std::uint8_t first[256];                  // the state after one byte
    std::uint16_t column[256];                // WALK_STATES x the class of a byte: 0, or 1-26 for a-z
    std::uint8_t next[27 * WALK_STATES];      // by column + state
    // Where an ended walk finds its item: (index << 8) + a mask for the
    // byte where it started, which is added to the index. The items of
    // single bytes come first, so that a walk that found no fragment gets
    // the one of its first byte without a branch.
    std::uint32_t pick[WALK_STATES];
    Item items[256 + WALK_STATES];
};

consteval WalkAutomaton make_walk_automaton() {
    const TrieNode* const nodes = FRAGMENT_TRIE.nodes;
    const WalkStates w = number_walk_states();
    WalkAutomaton a{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        const std::uint32_t c = byte >= 'a' && byte <= 'z' ? byte - 'a' + 1 : 0;
        const std::uint32_t child = c ? nodes[0].child[c - 1] : 0;
        a.first[byte] = static_cast<std::uint8_t>(child ? w.going[child] : w.ended[0]);
        a.column[byte] = static_cast<std::uint16_t>(c * WALK_STATES);
        set_item(a.items[byte], 1, is_code(byte) ? 2 : 1, byte, 0, 1);
    }
    for (std::uint32_t state = 0; state < WALK_STATES; ++state) {
        for (std::uint32_t c = 0; c < 27; ++c) a.next[c * WALK_STATES + state] = static_cast<std::uint8_t>(state);
        a.pick[state] = 0xFF;
        if (w.has_ended[state] && w.code[state]) {
            a.pick[state] = (256 + state) << 8;
            set_item(a.items[256 + state], w.letters[state], 1, w.code[state], w.code[state], w.code[state]);
        }
    }
    for (std::uint32_t node = 1; node < FRAGMENT_TRIE.node_count; ++node) {
        if (w.going[node] == w.ended[node]) continue;
        for (std::uint32_t c = 0; c < 27; ++c) {
            const std::uint32_t child = c ? nodes[node].child[c - 1] : 0;
            a.next[c * WALK_STATES + w.going[node]] = static_cast<std::uint8_t>(child ? w.going[child] : w.ended[node]);
        }
    }
    return a;
}

inline constexpr WalkAutomaton WALK = make_walk_automaton();

// Positions handled per stretch: first the item that may be taken at each,
// then the items taken, one after the other.
inline constexpr std::uint32_t STRETCH = 512;

// For each of `count` positions of `text`, the item the main loop takes
// there unless the last one was the same code: the longest fragment that
// starts there, else the byte itself. Every position is found apart from
// the others, so the work of many overlaps, where a walk from the end of
// the last item would wait for it. Only for text without code bytes, so
// that no walk ends at its own code and no byte is escaped. Reads
// text[0 .. count + 2].
void find_items(const std::uint8_t* text, std::uint32_t count, Item* items) {
    const WalkAutomaton& a = WALK;
    std::uint32_t column1 = a.column[text[1]], column2 = a.column[text[2]];
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint32_t column3 = a.column[text[k + 3]];
        std::uint32_t state = a.first[text[k]];
        state = a.next[column1 + state];
        state = a.next[column2 + state];
        state = a.next[column3 + state];
        const std::uint32_t pick = a.pick[state];
        std::memcpy(items[k], a.items[(pick >> 8) + (text[k] & pick)], ITEM_BYTES);
        column1 = column2;
        column2 = column3;
    }
}

bool has_code_bytes(const std::uint8_t* text, std::uint32_t count) {
    std::uint8_t found = 0;
    for (std::uint32_t k = 0; k < count; ++k) found |= is_code_byte(text[k]);
    return found;
}

// The main loop's items from block[pos] until pos reaches `stop`, one walk
// at a time: for stretches with code bytes, which are seldom text. Reads
// at most block[stop + 3].
void take_items_one_by_one(const std::uint8_t* block, std::uint32_t& pos, std::uint32_t stop, std::uint8_t* work,
                           std::uint32_t& n, std::uint32_t& last) {
    const TrieNode* const nodes = FRAGMENT_TRIE.nodes;
    while (pos < stop) {
        const std::uint32_t ch = block[pos];
        if (!is_lower(ch)) {
            work[n++] = static_cast<std::uint8_t>(ch);
            if (is_code(ch)) work[n++] = static_cast<std::uint8_t>(ch);
            ++pos;
            last = 1;
            continue;
        }
        // Longest fragment at pos; `end` is the byte where the walk ended.
        std::uint32_t node = 0, walked = 0, candidate = 0, candidate_length = 0, end = 0;
        for (std::uint32_t k = pos;; ++k) {
            end = block[k];
            if (!is_lower(end) || nodes[node].child[end - 'a'] == 0) break;
            node = nodes[node].child[end - 'a'];
            ++walked;
            if (nodes[node].code) {
                candidate = nodes[node].code;
                candidate_length = walked;
            }
        }
        // The item after a code must never equal it (see text_decode).
        if (candidate && candidate != end && candidate != last) {
            work[n++] = static_cast<std::uint8_t>(candidate);
            pos += candidate_length;
            last = candidate;
        } else {
            work[n++] = static_cast<std::uint8_t>(ch);
            ++pos;
            last = 1;
        }
    }
}

}  // namespace

bool text_encode(std::uint8_t* block, std::uint32_t len, std::uint8_t* work) {
    bool code_bytes = false;
    if (len < TEXT_MIN_LENGTH || surely_refused(block, len, code_bytes)) return false;
    // Refuse once 20 n >= 19 len: the output is no longer below 95 % of the
    // block. n only grows, so checking after each stretch instead of each
    // item gives the same answer.
    const std::uint64_t limit19 = std::uint64_t{19} * len;
    const std::uint32_t end = len - 5;
    Item items[STRETCH];
    std::uint32_t n = 0, pos = 0, last = 1;
    while (pos < end) {
        // An item writes at most 2 bytes, so this many cannot run past
        // work[len - 1]; more than 12, as n < 95 % of len >= 512.
        const std::uint32_t stretch = std::min({STRETCH, end - pos, (len - n) / 2});
        const std::uint8_t* const text = block + pos;
        if (code_bytes && has_code_bytes(text, stretch + 4)) {
            take_items_one_by_one(block, pos, pos + stretch, work, n, last);
        } else {
            find_items(text, stretch, items);
            std::uint32_t at = 0;
            while (at < stretch) {
                const Item& item = items[at];
                // The item after a code must never equal it (see text_decode).
                // Text seldom repeats a fragment like that: the branch costs little.
                if (__builtin_expect(item[KEY] == last, 0)) {
                    work[n++] = text[at];   // a letter: never escaped
                    ++at;
                    last = 1;
                    continue;
                }
                std::memcpy(work + n, item + OUT, 2);   // the second byte is kept only for an escape
                n += item[WRITES];
                at += item[TAKES];
                last = item[AFTER];
            }
            pos += at;
        }
        if (std::uint64_t{20} * n >= limit19) return false;
    }
    for (; pos < len; ++pos) {
        work[n++] = block[pos];
        if (is_code(block[pos])) work[n++] = block[pos];
    }
    std::memset(work + n, ' ', len - n);
    std::memcpy(block, work, len);
    return true;
}

bool text_decode(std::uint8_t* block, std::uint32_t len, std::uint8_t* work) {
    const FragmentTrie& t = FRAGMENT_TRIE;
    // Held here: every byte stored through `work` could change the table's copy.
    const std::uint32_t code_count = t.first_free_code - FIRST_CODE;
    std::uint32_t r = 0, n = 0;
    // While a whole expansion fits and the next byte can be read, every item
    // is one table lookup and one four-byte store, and the only branch is on
    // escapes, which text rarely has. A branch on code bytes, as below, goes
    // either way on text: this loop measured 2.2-2.6 times as fast
    // (BM_TextDecode in bench/coder_bench.cpp). The items run in stretches
    // short enough that neither bound can be reached inside one but by an
    // escape, which ends it: one test an item instead of two.
    while (n + FRAGMENT_MAX_LETTERS <= len && r + 1 < len) {
        const std::uint32_t items = std::min(len - 1 - r, (len - n) / FRAGMENT_MAX_LETTERS);
        const std::uint8_t* in = block + r;
        const std::uint8_t* const end = in + items;
        std::uint8_t* out = work + n;
        while (in < end) {
            const std::uint32_t ch = *in;
            const std::uint32_t escaped = opaque((ch == in[1]) & (ch - FIRST_CODE < code_count));
            if (__builtin_expect(escaped, 0)) {
                *out++ = static_cast<std::uint8_t>(ch);
                in += 2;
                break;
            }
            std::memcpy(out, t.expansion[ch], sizeof t.expansion[ch]);
            out += t.expansion_length[ch];
            ++in;
        }
        r = static_cast<std::uint32_t>(in - block);
        n = static_cast<std::uint32_t>(out - work);
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
