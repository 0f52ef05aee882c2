#include "link/result.h"

namespace vardo::link {

Result resultOf(std::int32_t code)
{
    switch (static_cast<Result>(code)) {
    case Result::Ok:
    case Result::NoDevice:
    case Result::Timeout:
    case Result::BadCount:
    case Result::Refused:
        return static_cast<Result>(code);
    }
    return Result::Refused;
}

std::string_view resultText(Result result)
{
    switch (result) {
    case Result::Ok:
        return "done";
    case Result::NoDevice:
        return "the encoder is not connected or stopped answering";
    case Result::Timeout:
        return "no reply from the encoder within 5000 ms";
    case Result::BadCount:
        return "the encoder's reply report was malformed";
    case Result::Refused:
        break;
    }
    return "the encoder refused the command or its reply was invalid";
}

} // namespace vardo::link
