/* Layouts of the tokenizer and query-language records (x86-64). */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(offsetof(tokenizer, stemmer) == 0, "tokenizer.stemmer");
_Static_assert(offsetof(tokenizer, stopwords) == 8, "tokenizer.stopwords");
_Static_assert(offsetof(tokenizer, stopword_count) == 16, "tokenizer.stopword_count");
_Static_assert(offsetof(tokenizer, word) == 20, "tokenizer.word");
_Static_assert(offsetof(tokenizer, token_texts) == 280, "tokenizer.token_texts");
_Static_assert(offsetof(tokenizer, token_capacity) == 288, "tokenizer.token_capacity");
_Static_assert(offsetof(tokenizer, token_count) == 292, "tokenizer.token_count");

_Static_assert(sizeof(token) == 24, "token size");
_Static_assert(offsetof(token, length) == 8, "token.length");
_Static_assert(offsetof(token, position) == 16, "token.position");

_Static_assert(offsetof(query_term, kind) == 0, "query_term.kind");
_Static_assert(offsetof(query_term, field) == 4, "query_term.field");
_Static_assert(offsetof(query_term, text) == 68, "query_term.text");
_Static_assert(offsetof(query_term, upper) == 324, "query_term.upper");
_Static_assert(offsetof(query_term, boost) == 584, "query_term.boost");
_Static_assert(offsetof(query_term, distance) == 592, "query_term.distance");
_Static_assert(sizeof(query_term) == 600, "query_term size");
