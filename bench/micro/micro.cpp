// Micro-benchmarks of the work the library does per request besides the transfer itself, each
// beside the nlohmann-json (or expat) work it is measured against.

#include <benchmark/benchmark.h>
#include <expat.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "answers.hpp"
#include "rest/answer.hpp"
#include "rest/json_encoder.hpp"
#include "rest/request_bodies.hpp"
#include "soap/answer.hpp"
#include "soap/call.hpp"
#include "soap/xml_collector.hpp"
#include "transport/private/libcurl_lines.hpp"
#include "transport/session.hpp"

namespace {

std::vector<std::string> mobileNumbers(std::size_t count) {
  std::vector<std::string> mobiles;
  mobiles.reserve(count);
  for (std::size_t i = 0; i < count; ++i) mobiles.push_back(std::to_string(9120000000 + i * 7));
  return mobiles;
}

// A JSON answer of about `bytes` bytes: the usual frame around an array of status records.
std::string jsonAnswerOfSize(std::size_t bytes) {
  std::string answer = R"({"Code":0,"Message":"Done","Result":[)";
  for (std::size_t i = 0; answer.size() < bytes; ++i) {
    if (i > 0) answer += ',';
    answer += R"({"MessageId":)" + std::to_string(100000 + i) + R"(,"Mobile":"0912)" +
              std::to_string(1000000 + i) + R"(","Status":2,"Text":"delivered at 12:0)" +
              std::to_string(i % 10) + R"("})";
  }
  return answer + "]}";
}

void setItems(benchmark::State& state, std::size_t perIteration) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * perIteration));
}

void BM_SendMessageBody(benchmark::State& state) {
  const auto mobiles = mobileNumbers(static_cast<std::size_t>(state.range(0)));
  const velmora::detail::JsonEncoder encoder;
  for (auto _ : state) {
    std::string body = velmora::detail::sendMessageBody(encoder, "3000", "Your order has shipped",
                                                        mobiles, "7", 0);
    benchmark::DoNotOptimize(body.data());
  }
  setItems(state, mobiles.size());
}
BENCHMARK(BM_SendMessageBody)->Arg(10000);

// Reference: nlohmann-json dumping the same numbers, the array already built.
void BM_NlohmannDumpMobiles(benchmark::State& state) {
  const nlohmann::json array = mobileNumbers(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text = array.dump();
    benchmark::DoNotOptimize(text.data());
  }
  setItems(state, array.size());
}
BENCHMARK(BM_NlohmannDumpMobiles)->Arg(10000);

// Reference: nlohmann-json building the array from the numbers and dumping it.
void BM_NlohmannBuildAndDumpMobiles(benchmark::State& state) {
  const auto mobiles = mobileNumbers(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text = nlohmann::json(mobiles).dump();
    benchmark::DoNotOptimize(text.data());
  }
  setItems(state, mobiles.size());
}
BENCHMARK(BM_NlohmannBuildAndDumpMobiles)->Arg(10000);

// The response handler of the JSON call on a 2xx answer: checks, parse and the Result.
// The SOAP call prints every answer body; a client with a diagnostics callable sends its lines
// there, so the measurement stays off the terminal and includes the hand-over of each line.
const velmora::detail::CallContext& quiet() {
  static const velmora::detail::CallContext context{
      "Bench",
      std::make_shared<const velmora::detail::DiagnosticSink>(
          [](const velmora::Diagnostic& d) { benchmark::DoNotOptimize(d.line.data()); }),
      {},
      {},
      1};
  return context;
}

void BM_HandleJsonAnswer(benchmark::State& state) {
  velmora::HttpResponse response;
  response.status = 200;
  response.body = jsonAnswerOfSize(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto result = velmora::detail::readJsonExchange(response, quiet()).result;
    if (!result) state.SkipWithError("the answer was not taken");
    benchmark::DoNotOptimize(result.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * response.body.size()));
}
BENCHMARK(BM_HandleJsonAnswer)->Arg(1024)->Arg(1024 * 1024);

// Reference: nlohmann-json parsing the same answer, nothing else.
void BM_NlohmannParse(benchmark::State& state) {
  const std::string answer = jsonAnswerOfSize(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    nlohmann::json parsed = nlohmann::json::parse(answer);
    benchmark::DoNotOptimize(&parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * answer.size()));
}
BENCHMARK(BM_NlohmannParse)->Arg(1024)->Arg(1024 * 1024);

// A CheckSendCode answer from the SOAP call's handler to the truth value: checks, the printed
// body, the parse with the text collector and the conversion.
void BM_CollectSoapAnswer(benchmark::State& state) {
  const std::string answer = bench::kSoapAnswer;
  velmora::HttpResponse response;
  response.status = 200;
  for (auto _ : state) {
    response.body = answer;
    if (velmora::detail::exchangeFailure(response, quiet())) state.SkipWithError("not 2xx");
    auto xml = velmora::detail::xmlAnswerFromBody(response, quiet());
    velmora::detail::ParserDelegate delegate;
    xml->parse(delegate);
    const auto truth = velmora::detail::readTruth(velmora::detail::trimXmlSpace(*delegate.result));
    if (truth != true) state.SkipWithError("the answer was not read as true");
    benchmark::DoNotOptimize(truth);
  }
}
BENCHMARK(BM_CollectSoapAnswer);

// Reference: expat alone collecting the character data of the same answer.
void BM_ExpatCollect(benchmark::State& state) {
  const std::string answer = bench::kSoapAnswer;
  for (auto _ : state) {
    std::string text;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &text);
    XML_SetCharacterDataHandler(parser, [](void* user, const XML_Char* s, int len) {
      static_cast<std::string*>(user)->append(s, static_cast<std::size_t>(len));
    });
    XML_Parse(parser, answer.data(), static_cast<int>(answer.size()), 1);
    XML_ParserFree(parser);
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_ExpatCollect);

// The informational lines libcurl writes for one HTTP/2 request on a reused connection, as
// captured from libcurl 7.88.1 (argument 0) and 8.14.1 (argument 1).
const std::vector<std::vector<std::string>> kRequestLines = {
    {"Found bundle for host: 0x55d7831df4c0 [can multiplex]\n",
     "Re-using existing connection #1 with host 127.0.0.1\n",
     "Transfer was pending, now try another\n", "h2h3 [:method: POST]\n",
     "h2h3 [:path: /api/smsAPI/SendMessage]\n", "h2h3 [:scheme: https]\n",
     "h2h3 [:authority: 127.0.0.1:18443]\n", "h2h3 [accept: */*]\n", "h2h3 [content-length: 60]\n",
     "h2h3 [content-type: application/json]\n", "Using Stream ID: 5 (easy handle 0x55d78312a460)\n",
     "We are completely uploaded and fine\n", "Connection #1 to host 127.0.0.1 left intact\n"},
    {"Re-using existing https: connection with host 127.0.0.1\n",
     "[HTTP/2] [5] OPENED stream for https://127.0.0.1:18443/api/smsAPI/SendMessage\n",
     "[HTTP/2] [5] [:method: POST]\n", "[HTTP/2] [5] [:scheme: https]\n",
     "[HTTP/2] [5] [:authority: 127.0.0.1:18443]\n",
     "[HTTP/2] [5] [:path: /api/smsAPI/SendMessage]\n", "[HTTP/2] [5] [accept: */*]\n",
     "[HTTP/2] [5] [content-length: 60]\n", "[HTTP/2] [5] [content-type: application/json]\n",
     "upload completely sent off: 60 bytes\n", "Connection #1 to host 127.0.0.1 left intact\n"},
};

// Reading one request's lines: what the HTTP/2 proof costs the library per request, besides
// libcurl's own formatting of them.
void BM_ReadLibcurlLines(benchmark::State& state) {
  const auto& lines = kRequestLines[static_cast<std::size_t>(state.range(0))];
  for (auto _ : state) {
    std::int64_t sum = 0;
    for (const std::string& line : lines) sum += velmora::detail::readLibcurlLine(line).number;
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_ReadLibcurlLines)->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
