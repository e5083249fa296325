// The grammar-combinator library: nine node kinds, each able to say whether it
// must consume, whether it can begin with a byte, and how to walk and complete
// a prefix. The JSON grammar (json.hpp) is built from them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "carrack/engine/errors.hpp"

namespace carrack {

// Base of every grammar node. Nodes are built once, linked by non-owning
// pointers, shared and never destroyed, hence no virtual destructor.
struct Parser {
    // True when the node never matches the empty text.
    virtual bool must_consume() const;
    // Could the node begin with next_char? The one byte of look-ahead.
    virtual bool matches(char next_char) const = 0;
    // Walks the node over prefix from position; where the prefix has run out,
    // appends the node's completion. Only appends; position only advances.
    virtual void autocomplete(std::string& prefix, size_t& position) const = 0;

protected:
    Parser() = default;
    Parser(const Parser&) = default;
    Parser& operator=(const Parser&) = default;
    ~Parser() = default;
};

// Forwards to child, which the grammar builder may assign after construction
// to close a cycle. must_consume answers the stored flag without asking child.
//
// Every cycle of a grammar passes through a Reference, so its autocomplete is
// where recursion depth grows with the input: it checks the calling thread's
// remaining stack there and throws nesting_too_deep rather than overflow.
struct Reference : Parser {
    Parser* child;
    bool must_consume_value;

    Reference(Parser* child, bool must_consume);
    bool must_consume() const override;
    bool matches(char next_char) const override;
    void autocomplete(std::string& prefix, size_t& position) const override;
};

// A fixed text. Passes over as many bytes as the text has, without comparing
// them, and appends the part of the text beyond the end of the prefix.
struct Lit : Parser {
    std::string literal;

    explicit Lit(std::string literal);  // throws std::invalid_argument if empty
    bool matches(char next_char) const override;
    void autocomplete(std::string& prefix, size_t& position) const override;
};

// One byte between start and end inclusive, compared as signed char, so no
// ASCII range matches bytes 0x80-0xFF. Rejects start > end with
// std::invalid_argument "Range start must not exceed end".
struct Range : Parser {
    char start;
    char end;
    char default_char;

    Range(char start, char end);
    Range(char start, char end, char default_char);
    bool matches(char next_char) const override;
    void autocomplete(std::string& prefix, size_t& position) const override;
};

// One byte from whitelist; default_char need not occur in it.
struct Any : Parser {
    std::string whitelist;
    char default_char;

    explicit Any(std::string whitelist);  // default_char is whitelist's first byte
    Any(std::string whitelist, char default_char);
    bool matches(char next_char) const override;
    void autocomplete(std::string& prefix, size_t& position) const override;
};

// One byte not in blacklist; appends nothing when completing.
struct Except : Parser {
    std::string blacklist;

    explicit Except(std::string blacklist);
    bool matches(char next_char) const override;
    void autocomplete(std::string& prefix, size_t& position) const override;
};

// Zero or one child.
struct Opt : Parser {
    Parser* child;

    explicit Opt(Parser* child);
    bool must_consume() const override;
    bool matches(char next_char) const override;
    void autocomplete(std::string& prefix, size_t& position) const override;
};

// Zero or more children; matches every byte.
struct Rep : Parser {
    Parser* child;

    explicit Rep(Parser* child);
    bool must_consume() const override;
    bool matches(char next_char) const override;
    void autocomplete(std::string& prefix, size_t& position) const override;
};

// Ordered choice: the first child that matches the next byte, or the first
// child when none does or the prefix has ended. Rejects an empty list with
// std::invalid_argument "Or must have at least one child".
struct Or : Parser {
    std::vector<Parser*> children;

    explicit Or(std::vector<Parser*> children);
    bool must_consume() const override;
    bool matches(char next_char) const override;
    void autocomplete(std::string& prefix, size_t& position) const override;
};

// The children one after another.
struct Seq : Parser {
    std::vector<Parser*> children;

    explicit Seq(std::vector<Parser*> children);  // rejects an empty list
    bool must_consume() const override;
    bool matches(char next_char) const override;
    void autocomplete(std::string& prefix, size_t& position) const override;
};

}  // namespace carrack
