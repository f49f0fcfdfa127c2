// The built-in table of English letter groups that the text substitution
// replaces by single byte codes. It is part of the compressed format: slot k
// (1 to 123) has the code 129 + k, and slot 0 carries no code.
#pragma once

#include <array>
#include <cstdint>

namespace vexa {

inline constexpr std::uint32_t FRAGMENT_SLOTS = 124;
inline constexpr std::uint32_t FIRST_CODE = 130;
inline constexpr std::uint32_t FRAGMENT_MAX_LETTERS = 4;

using FragmentTable = std::array<const char*, FRAGMENT_SLOTS>;

inline constexpr FragmentTable fragment_table = {
    "",
    "ac", "ad", "ai", "al", "am", "an", "ar", "as", "at", "ea",                  // 130-139
    "ec", "ed", "ee", "el", "en", "er", "es", "et", "id", "ie",                  // 140-149
    "ig", "il", "in", "io", "is", "it", "of", "ol", "on", "oo",                  // 150-159
    "or", "os", "ou", "ow", "ul", "un", "ur", "us", "ba", "be",                  // 160-169
    "ca", "ce", "co", "ch", "de", "di", "ge", "gh", "ha", "he",                  // 170-179
    "hi", "ho", "ra", "re", "ri", "ro", "rs", "la", "le", "li",                  // 180-189
    "lo", "ld", "ll", "ly", "se", "si", "so", "sh", "ss", "st",                  // 190-199
    "ma", "me", "mi", "ne", "nc", "nd", "ng", "nt", "pa", "pe",                  // 200-209
    "ta", "te", "ti", "to", "th", "tr", "wa", "ve", "all", "and",                // 210-219
    "but", "dow", "for", "had", "hav", "her", "him", "his", "man", "mor",        // 220-229
    "not", "now", "one", "out", "she", "the", "was", "wer", "whi", "whe",        // 230-239
    "wit", "you", "any", "are", "that", "said", "with", "have", "this", "from",  // 240-249
    "whic", "were", "tion",                                                      // 250-252
};

}  // namespace vexa
