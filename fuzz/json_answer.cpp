// The JSON answer of a REST operation, turned into the completion's value.
// Properties: a 2xx answer gives a Result exactly when its body is a JSON object nested no deeper
// than the library accepts; the Result's members are those of the object, read by their exact
// names; any other status gives nothing without the body being looked at.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "rest/answer.hpp"
#include "text/output.hpp"

namespace {

using nlohmann::json;
using velmora::ResultCode;

void require(bool condition) {
  if (!condition) std::abort();
}

// The code a "Code" member stands for: any whole number in the signed 64-bit range, kept as it
// came even when it names no case; Success when there is none.
ResultCode expectedCode(const json& object) {
  const auto code = object.find("Code");
  if (code == object.end() || !code->is_number()) return ResultCode::Success;
  if (code->is_number_unsigned()) {
    const std::uint64_t u = code->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX)) return ResultCode::Success;
    return static_cast<ResultCode>(static_cast<std::int64_t>(u));
  }
  if (code->is_number_integer()) return static_cast<ResultCode>(code->get<std::int64_t>());
  const double d = code->get<double>();
  if (std::trunc(d) != d || std::fabs(d) > 9.2e18) return ResultCode::Success;
  return static_cast<ResultCode>(static_cast<std::int64_t>(d));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    velmora::detail::setLineSink([](std::string_view) {});
    return true;
  }();
  (void)quiet;

  velmora::detail::HttpResponse response;
  response.status = 200;
  response.body.assign(reinterpret_cast<const char*>(data), size);
  const auto result = velmora::detail::resultFromResponse(response);

  const bool shallow =
      velmora::detail::jsonDepthWithin(response.body, velmora::detail::kMaxJsonDepth);
  const json parsed = shallow ? json::parse(response.body, nullptr, false) : json();
  require((result != nullptr) == (shallow && parsed.is_object()));

  if (result != nullptr) {
    require(result->Code() == expectedCode(parsed));
    const auto message = parsed.find("Message");
    require(result->Message() ==
            (message != parsed.end() && message->is_string() ? message->get<std::string>() : ""));
    const auto payload = parsed.find("Result");
    require(result->Payload() == (payload != parsed.end() ? *payload : json("")));
  }

  // A failed status never reaches the body.
  response.status = 500;
  require(velmora::detail::resultFromResponse(response) == nullptr);
  return 0;
}
