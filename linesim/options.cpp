#include "linesim/options.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <sstream>

namespace davrilon::linesim {
namespace {

constexpr double kMaxSeconds = 86'400;
constexpr std::size_t kMaxDownloadName = kLastShortPosition - kPosDownloadName;  // '#' at 131
constexpr std::size_t kMaxPrezesParams = kLastShortPosition - kPosPrezesParams;
constexpr std::size_t kMaxOtherParams = kLastShortPosition - kPosOtherParams;
constexpr int kMaxCount = 99;         // a two-character field
constexpr int kMinUploadBlocks = -9;  // "-9" still fits two characters
constexpr std::int64_t kMaxDownloadBytes = std::numeric_limits<std::int32_t>::max();

std::optional<long long> Integer(const std::string& text, long long low, long long high) {
  long long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return std::nullopt;
  return value;
}

std::optional<Millis> Seconds(const std::string& text) {
  std::istringstream in(text);
  double seconds = -1;
  in >> seconds;
  if (!in || !in.eof() || !(seconds >= 0) || seconds > kMaxSeconds)
    return std::nullopt;
  return Millis(static_cast<long long>(std::llround(seconds * 1000)));
}

// "K" or "K:T".
std::optional<Fault> ParseFault(const std::string& text, bool times_required) {
  auto colon = text.find(':');
  if (colon == std::string::npos && times_required)
    return std::nullopt;
  auto packet = Integer(text.substr(0, colon), 0, 1'000'000);
  if (!packet)
    return std::nullopt;
  Fault fault;
  fault.packet = static_cast<int>(*packet);
  if (colon != std::string::npos) {
    auto times = Integer(text.substr(colon + 1), 1, 1000);
    if (!times)
      return std::nullopt;
    fault.times = static_cast<int>(*times);
  }
  return fault;
}

}  // namespace

const char* UsageText() {
  return R"(usage: davrilon-sim [options]
A Hayes modem with the head office behind it, served over RFC 2217 on 127.0.0.1.
  --listen 127.0.0.1:PORT   port to listen on (default 0: any free port)
  --port-file PATH          write the bound port number there
  --report PATH             plain-text report of every call
  --store-dir DIR           where uploads are stored (default .)
  --log PATH                the simulator's log (default stderr)
modem:
  --modem-off               status word 0, no answers
  --carrier-delay SEC       from the answer to the carrier (default 1)
  --no-carrier              the carrier never comes
  --no-carrier-call K       the carrier never comes on call K (repeatable)
  --drop-after-commands K   drop the connection after the K-th command line
  --guard-time SEC          the escape's guard time (default 1)
calls:
  --calls N                 calls to make (default 0: modem only)
  --ring-after SEC          first ring after the station's modem set-up (default 2)
  --between-calls SEC       from the end of a call to the next ring (default 2)
  --max-rings N             rings before the caller gives up (default 15)
  --hangup-wait SEC         how long the centre waits for the station to hang up (default 10)
  --exit-after-calls        exit 0 when every call is done
download:
  --send FILE [--send-name NAME] [--size-before N]
  --blocks-per-packet N     IlePaczekNaSklep (default 4)
  --upload-blocks N         IlePaczekZeSklepu (default 1; any value from -9 to 99)
request:
  --request NAME [--params TEXT]   a Prezes request when NAME contains PREZES.PC;
                            without --request the request names no file
faults (packet K: 0 is the header block, 1 the first data packet; T times, default 1):
  --corrupt-block K[:T]  --wrong-number K[:T]  --short-packet K[:T]
  --silent-after K[:T]      leave the next T requests after packet K's ACK unanswered
  --nak-upload K:T  --silent-upload K:T
  --faults-on-call K        the faults act on call K only (default: on every call)
)";
}

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
  SimOptions o;
  ParsedOptions result;
  std::optional<std::string> send_name;
  auto fail = [&](std::string error) {
    result.options.reset();
    result.error = std::move(error);
    return result;
  };

  using Handler = std::function<bool(const std::string&)>;
  auto seconds = [](Millis& into) {
    return [&into](const std::string& v) {
      auto s = Seconds(v);
      if (s)
        into = *s;
      return s.has_value();
    };
  };
  auto integer = [](int& into, long long low, long long high) {
    return [&into, low, high](const std::string& v) {
      auto n = Integer(v, low, high);
      if (n)
        into = static_cast<int>(*n);
      return n.has_value();
    };
  };
  auto text = [](std::string& into) {
    return [&into](const std::string& v) {
      into = v;
      return true;
    };
  };
  auto fault = [](Fault& into, bool times_required) {
    return [&into, times_required](const std::string& v) {
      auto f = ParseFault(v, times_required);
      if (f)
        into = *f;
      return f.has_value();
    };
  };
  std::map<std::string, Handler> with_value = {
      {"--listen",
       [&](const std::string& v) {
         auto colon = v.rfind(':');
         std::string host = colon == std::string::npos ? "127.0.0.1" : v.substr(0, colon);
         if (host != "127.0.0.1" && host != "localhost")
           return false;
         auto port = Integer(v.substr(colon == std::string::npos ? 0 : colon + 1), 0, 65535);
         if (port)
           o.port = static_cast<std::uint16_t>(*port);
         return port.has_value();
       }},
      {"--port-file", text(o.port_file)},
      {"--report", text(o.report)},
      {"--store-dir",
       [&](const std::string& v) {
         o.centre.store_dir = v;
         return !v.empty();
       }},
      {"--log", text(o.log)},
      {"--carrier-delay", seconds(o.modem.carrier_delay)},
      {"--no-carrier-call",
       [&](const std::string& v) {
         auto n = Integer(v, 1, 1'000'000);
         if (n)
           o.plan.no_carrier_calls.insert(static_cast<int>(*n));
         return n.has_value();
       }},
      {"--drop-after-commands", integer(o.modem.drop_after_commands, 1, 1'000'000)},
      {"--guard-time", seconds(o.modem.guard_time)},
      {"--calls", integer(o.plan.calls, 0, 1'000'000)},
      {"--ring-after", seconds(o.plan.ring_after)},
      {"--between-calls", seconds(o.plan.between_calls)},
      {"--max-rings", integer(o.plan.max_rings, 1, 1000)},
      {"--hangup-wait", seconds(o.centre.hangup_wait)},
      {"--send", text(o.send_file)},
      {"--send-name",
       [&](const std::string& v) {
         send_name = v;
         return true;
       }},
      {"--size-before",
       [&](const std::string& v) {
         auto n = Integer(v, std::numeric_limits<std::int32_t>::min(),
                          std::numeric_limits<std::int32_t>::max());
         if (n)
           o.centre.size_before = *n;
         return n.has_value();
       }},
      {"--blocks-per-packet", integer(o.centre.blocks_per_packet, 1, kMaxCount)},
      {"--upload-blocks", integer(o.centre.upload_blocks, kMinUploadBlocks, kMaxCount)},
      {"--request",
       [&](const std::string& v) {
         o.centre.request_name = v;
         return !v.empty() && v.size() <= kRequestNameWidth && v.find(' ') == std::string::npos;
       }},
      {"--params", text(o.centre.params)},
      {"--corrupt-block", fault(o.centre.corrupt_block, false)},
      {"--wrong-number", fault(o.centre.wrong_number, false)},
      {"--short-packet", fault(o.centre.short_packet, false)},
      {"--silent-after", fault(o.centre.silent_after, false)},
      {"--faults-on-call", integer(o.centre.faults_on_call, 1, 1'000'000)},
      {"--nak-upload", fault(o.centre.nak_upload, true)},
      {"--silent-upload", fault(o.centre.silent_upload, true)},
  };
  std::map<std::string, bool*> flags = {
      {"--modem-off", &o.modem.switched_off},
      {"--no-carrier", &o.modem.withhold_carrier},
      {"--exit-after-calls", &o.exit_after_calls},
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h")
      return result;
    if (auto flag = flags.find(arg); flag != flags.end()) {
      *flag->second = true;
      continue;
    }
    auto option = with_value.find(arg);
    if (option == with_value.end())
      return fail("unknown option " + arg);
    if (i + 1 >= args.size())
      return fail(arg + " needs a value");
    const std::string& value = args[++i];
    if (!option->second(value))
      return fail("bad value for " + arg + ": " + value);
  }

  if (!o.send_file.empty()) {
    o.centre.download_name =
        send_name.value_or(std::filesystem::path(o.send_file).filename().string());
    if (o.centre.download_name.empty())
      return fail("--send-name must not be empty");
  } else if (send_name) {
    return fail("--send-name needs --send");
  }
  if (o.centre.download_name.size() > kMaxDownloadName)
    return fail("--send-name longer than " + std::to_string(kMaxDownloadName) + " characters");
  bool prezes =
      o.centre.request_name && o.centre.request_name->find(kPrezesMark) != std::string::npos;
  std::size_t max_params = prezes ? kMaxPrezesParams : kMaxOtherParams;
  if (o.centre.params.size() > max_params)
    return fail("--params longer than " + std::to_string(max_params) + " characters");
  result.options = std::move(o);
  return result;
}

std::optional<std::string> LoadDownload(SimOptions& options) {
  std::error_code ec;
  if (!std::filesystem::is_directory(options.centre.store_dir, ec))
    return "no store directory " + options.centre.store_dir.string();
  if (options.send_file.empty())
    return std::nullopt;
  std::ifstream in(options.send_file, std::ios::binary);
  if (!in)
    return "cannot read " + options.send_file;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  options.centre.download = bytes.str();
  if (static_cast<std::int64_t>(options.centre.download.size()) > kMaxDownloadBytes)
    return options.send_file + " is too large";
  return std::nullopt;
}

}  // namespace davrilon::linesim
