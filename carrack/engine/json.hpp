// carrack's completion engine: the JSON grammar built from the node library
// (nodes.hpp), and the entry points that complete a truncated JSON text. The
// entry points walk the same grammar through the resumable Walker
// (walker.hpp); the engine works on bytes and knows no encoding.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "carrack/engine/errors.hpp"
#include "carrack/engine/nodes.hpp"
#include "carrack/engine/walker.hpp"

namespace carrack {

// Builds a new JSON grammar of 65 nodes and returns its root. Never freed.
Parser* create_json_parser();

// The root of the process-wide grammar, built by the library's static
// initialiser before anything can call carrack_cpp. It is the reference model
// of the walk: the Walker is held byte-identical to walking it.
extern Parser* const json_parser;

// Completes prefix to one JSON value and returns it: the unchanged prefix with
// only ASCII bytes appended. Throws std::runtime_error "Given prefix is not from
// a valid JSON string!" when bytes are left over after the value, and
// nesting_too_deep beyond max_nesting_depth levels of arrays and objects.
std::string carrack_cpp(std::string prefix);

// What carrack_cpp would append, without copying the text; they throw as
// carrack_cpp does. One name per encoding, so that no text is taken for
// another: UTF-8 bytes, or code points one per unit (Latin-1, UCS-2 without
// surrogate pairs, UCS-4), found without encoding them. Surrogate code points
// count as the three bytes they would take; callers wanting strict UTF-8
// refuse them first.
std::string carrack_suffix_utf8(std::string_view prefix);
std::string carrack_suffix_latin1(std::span<const unsigned char> prefix);
std::string carrack_suffix_ucs2(std::u16string_view prefix);
std::string carrack_suffix_ucs4(std::u32string_view prefix);

}  // namespace carrack
