// Text read as white-space separated words, in large blocks, and words converted to
// reals as "%lf" converts them; stretches of words parsed on their own, for threads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// Words are read in a buffer of this many bytes: a word as long ends the reading.
constexpr std::size_t word_limit = std::size_t{1} << 20;

class TokenReader {
public:
    // `name`: the file as messages show it.
    TokenReader(std::FILE* stream, std::string name);

    // The next token, valid until the next call; false at the end of the file.
    bool next(std::string_view& token);

    // The last token is given again by the next call.
    void put_back() { put_back_ = true; }

    // Bytes of the file before the next token (and any blanks before it).
    std::uint64_t offset() const { return consumed_ + pos_ - (put_back_ ? last_.size() : 0); }

    // Where the last token stands: the file's line and its field on that line, both
    // counted from 1.
    int line() const { return line_; }
    int field() const { return field_; }

    // Where the next token's line stands, and the fields before it on that line, for a
    // reader that starts at offset() to count on from.
    struct Place {
        int line, fields_before;
    };
    Place place() const {
        return put_back_ ? Place{line_, field_ - 1} : Place{next_line_, fields_};
    }
    void start_at(Place place) {
        next_line_ = line_ = place.line;
        fields_ = place.fields_before;
    }

private:
    void refill();

    std::FILE* stream_;
    std::string name_;
    std::vector<char> buffer_ = std::vector<char>(word_limit);
    std::size_t pos_ = 0, end_ = 0;
    std::uint64_t consumed_ = 0;  // bytes of the file before the buffer's start
    bool at_eof_ = false;
    bool put_back_ = false;
    std::string_view last_;
    int line_ = 1, field_ = 0;        // of the last token
    int next_line_ = 1, fields_ = 0;  // where reading stands, and tokens on its line
};

// A whole token as a real, the value "%lf" gives; strtod's wider syntax (a leading
// '+', hexadecimal, results beyond the range of from_chars) is taken through strtod.
bool parse_value(std::string_view token, double& value);

// A stretch of text that begins and ends between words, its words parsed as values on
// their own (on any thread): the values up to the first word that is not a finite
// number or is word_limit bytes long, and the line ends and words on the last line
// seen, so that the stretches can be taken in order as one reading.
struct ParsedPiece {
    std::vector<double> values;   // of the words before the first faulty one
    bool faulty = false;          // a faulty word follows them
    std::size_t words = 0;        // words seen, the faulty one included
    int line_ends = 0;            // seen
    int fields = 0;               // words after the last line end seen (all, where there is none)
    int last_word_line_ends = 0;  // line ends before the last word seen
};
void parse_piece(std::string_view text, ParsedPiece& piece);
