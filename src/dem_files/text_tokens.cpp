// Tokens of a text file, read in blocks of 1 MiB; a word is at most that long.
#include "dem_files/text_tokens.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "answers.h"
#include "failure.h"
#include "host_files.h"

TokenReader::TokenReader(std::FILE* stream, std::string name)
    : stream_(stream), name_(std::move(name)) {}

bool TokenReader::next(std::string_view& token) {
    if (put_back_) {
        put_back_ = false;
        token = last_;
        return true;
    }
    for (;;) {
        while (pos_ < end_ && is_blank(buffer_[pos_])) {
            if (buffer_[pos_] == '\n') {
                ++next_line_;
                fields_ = 0;
            }
            ++pos_;
        }
        std::size_t stop = pos_;
        while (stop < end_ && !is_blank(buffer_[stop])) ++stop;
        if (stop < end_ || (at_eof_ && stop > pos_)) {
            token = last_ = std::string_view(buffer_.data() + pos_, stop - pos_);
            pos_ = stop;
            line_ = next_line_;
            field_ = ++fields_;
            return true;
        }
        if (at_eof_) return false;
        refill();
    }
}

// Keeps the unfinished token at the front and reads more after it.
void TokenReader::refill() {
    const std::size_t kept = end_ - pos_;
    if (kept == buffer_.size())
        fail(name_ + " holds a word longer than " + std::to_string(buffer_.size()) + " characters");
    std::memmove(buffer_.data(), buffer_.data() + pos_, kept);
    consumed_ += pos_;
    pos_ = 0;
    end_ = kept + std::fread(buffer_.data() + kept, 1, buffer_.size() - kept, stream_);
    if (std::ferror(stream_)) fail("cannot read " + name_ + ": " + system_error());
    if (end_ < buffer_.size()) at_eof_ = true;
}

bool parse_value(std::string_view token, double& value) {
    const char* end = token.data() + token.size();
    const auto result = std::from_chars(token.data(), end, value);
    if (result.ec == std::errc() && result.ptr == end) return true;
    const std::string copy(token);
    char* stop = nullptr;
    value = std::strtod(copy.c_str(), &stop);
    return !copy.empty() && stop == copy.c_str() + copy.size();
}

void parse_piece(std::string_view text, ParsedPiece& piece) {
    piece = ParsedPiece();
    piece.values.reserve(text.size() / 4);
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end) {
        if (is_blank(*p)) {
            if (*p == '\n') {
                ++piece.line_ends;
                piece.fields = 0;
            }
            ++p;
            continue;
        }
        const char* const start = p;
        while (p < end && !is_blank(*p)) ++p;
        const std::string_view word(start, static_cast<std::size_t>(p - start));
        ++piece.words;
        ++piece.fields;
        piece.last_word_line_ends = piece.line_ends;
        double v;
        if (word.size() >= word_limit || !parse_value(word, v) || !std::isfinite(v)) {
            piece.faulty = true;
            return;
        }
        piece.values.push_back(v);
    }
}
