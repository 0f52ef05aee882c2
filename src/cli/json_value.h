#pragma once
// A small JSON reader for the files the tool takes (apply's desired state).
// Numbers are kept as doubles; objects keep their members in file order.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vardo::cli {

struct JsonMember;

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;                              // Array
    std::vector<JsonMember> members;                           // Object

    // The member named name of an object; null for none.
    [[nodiscard]] const JsonValue* member(std::string_view name) const;
};

// One member of an object. Its own type rather than a std::pair: a pair may
// not hold the value type before that is complete (clang's library checks).
struct JsonMember {
    std::string name;
    JsonValue value;
};

// The one value of text (blanks around it allowed); nothing, with why and
// where in error, when it is not JSON.
[[nodiscard]] std::optional<JsonValue> parseJson(std::string_view text, std::string& error);

} // namespace vardo::cli
