#include "cli/json_value.h"

#include <cstdlib>

namespace vardo::cli {

namespace {

// Deep enough for any state file; a deeper one is refused rather than
// allowed to exhaust the stack.
constexpr int kMaxDepth = 32;

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::optional<JsonValue> document(std::string& error)
    {
        JsonValue v;
        if (!value(v, 0) || (blanks(), at_ != text_.size())) {
            if (why_.empty())
                why_ = "unexpected text";
            error = why_ + " at byte " + std::to_string(at_ + 1);
            return std::nullopt;
        }
        return v;
    }

private:
    bool failed(const char* why)
    {
        why_ = why;
        return false;
    }

    void blanks()
    {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }

    bool word(std::string_view w)
    {
        if (text_.substr(at_, w.size()) != w)
            return failed("unexpected text");
        at_ += w.size();
        return true;
    }

    bool value(JsonValue& v, int depth)
    {
        if (depth > kMaxDepth)
            return failed("nested too deeply");
        blanks();
        if (at_ >= text_.size())
            return failed("unexpected end");
        const char c = text_[at_];
        if (c == '{')
            return object(v, depth);
        if (c == '[')
            return array(v, depth);
        if (c == '"') {
            v.kind = JsonValue::Kind::String;
            return string(v.text);
        }
        if (c == 't' || c == 'f') {
            v.kind = JsonValue::Kind::Bool;
            v.boolean = c == 't';
            return word(v.boolean ? "true" : "false");
        }
        if (c == 'n')
            return word("null");
        return number(v);
    }

    bool number(JsonValue& v)
    {
        const std::size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-')
            ++at_;
        while (at_ < text_.size() && std::string_view("0123456789.eE+-").find(text_[at_]) != std::string_view::npos)
            ++at_;
        const std::string digits(text_.substr(start, at_ - start));
        char* end = nullptr;
        v.number = std::strtod(digits.c_str(), &end);
        if (digits.empty() || end != digits.c_str() + digits.size())
            return failed("not a JSON value");
        v.kind = JsonValue::Kind::Number;
        return true;
    }

    bool string(std::string& out)
    {
        ++at_;
        while (at_ < text_.size() && text_[at_] != '"') {
            if (static_cast<unsigned char>(text_[at_]) < 0x20)
                return failed("a control character in a string");
            char c = text_[at_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size())
                break;
            c = text_[at_++];
            const std::string_view plain = "\"\\/bfnrt";
            const std::string_view meant = "\"\\/\b\f\n\r\t";
            if (const auto i = plain.find(c); i != std::string_view::npos) {
                out += meant[i];
            } else if (c == 'u' && at_ + 4 <= text_.size()) {
                const unsigned long code = std::strtoul(std::string(text_.substr(at_, 4)).c_str(), nullptr, 16);
                at_ += 4;
                // Names are ASCII; anything else is kept as UTF-8.
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
            } else {
                return failed("a bad escape in a string");
            }
        }
        if (at_ >= text_.size())
            return failed("a string without its closing quote");
        ++at_;
        return true;
    }

    bool array(JsonValue& v, int depth)
    {
        v.kind = JsonValue::Kind::Array;
        ++at_;
        blanks();
        if (at_ < text_.size() && text_[at_] == ']')
            return ++at_, true;
        for (;;) {
            v.items.emplace_back();
            if (!value(v.items.back(), depth + 1))
                return false;
            blanks();
            if (at_ < text_.size() && text_[at_] == ',') {
                ++at_;
                continue;
            }
            return at_ < text_.size() && text_[at_] == ']' ? (++at_, true) : failed("expected ',' or ']'");
        }
    }

    bool object(JsonValue& v, int depth)
    {
        v.kind = JsonValue::Kind::Object;
        ++at_;
        blanks();
        if (at_ < text_.size() && text_[at_] == '}')
            return ++at_, true;
        for (;;) {
            blanks();
            if (at_ >= text_.size() || text_[at_] != '"')
                return failed("expected a member name in quotes");
            std::string name;
            if (!string(name))
                return false;
            blanks();
            if (at_ >= text_.size() || text_[at_] != ':')
                return failed("expected ':'");
            ++at_;
            v.members.push_back(JsonMember{std::move(name), JsonValue{}});
            if (!value(v.members.back().value, depth + 1))
                return false;
            blanks();
            if (at_ < text_.size() && text_[at_] == ',') {
                ++at_;
                continue;
            }
            return at_ < text_.size() && text_[at_] == '}' ? (++at_, true) : failed("expected ',' or '}'");
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::string why_;
};

} // namespace

const JsonValue* JsonValue::member(std::string_view name) const
{
    for (const auto& [n, v] : members)
        if (n == name)
            return &v;
    return nullptr;
}

std::optional<JsonValue> parseJson(std::string_view text, std::string& error)
{
    return Reader(text).document(error);
}

} // namespace vardo::cli
