// The ASCII tokenizer: splits bytes into lower-cased words of letters,
// digits and apostrophes, drops stop words and one-byte words, and can strip
// common English suffixes.
//
// Token texts handed out stay owned by the tokenizer until it is destroyed,
// so a long-lived tokenizer grows with every call. Not thread-safe: a call
// writes the word buffer and the text list.
#pragma once

#include <cstddef>

#include "morvadb.h"

namespace morva {

constexpr int32_t kTokenizerInitialCapacity = 64;
constexpr size_t kTokenizerMaxWord = TOKENIZER_MAX_WORD;

// Strips one English suffix from word (length len, lower case) in place and
// returns the new length. Rules in order, first match only: "ing"; "ed",
// "ly", "es"; "s"; "er", "or". Nothing is stripped when 2 bytes or fewer
// would remain; after a strip a doubled final letter is undoubled.
size_t stem_word(char *word, size_t len);

}  // namespace morva
