#include "agent/wagent/http_rules.h"

#include <cctype>

namespace wagent {

namespace {

bool scheme_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian); no libc
// call, so no thread-safety question and the same on every platform.
void civil_from_days(long long z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

void two_digits(std::string& out, unsigned n) {
  out += static_cast<char>('0' + n / 10 % 10);
  out += static_cast<char>('0' + n % 10);
}

}  // namespace

std::string origin_form(beast::string_view target) {
  if (target.empty() || target.front() == '/') return std::string(target);
  const auto colon = target.find("://");
  if (colon == beast::string_view::npos || colon == 0) return std::string(target);
  for (std::size_t i = 0; i < colon; ++i)
    if (!scheme_char(target[i]) || (i == 0 && !std::isalpha(static_cast<unsigned char>(target[0]))))
      return std::string(target);
  const auto rest = target.substr(colon + 3);
  const auto end = rest.find_first_of("/?#");
  if (end == beast::string_view::npos) return "/";
  if (rest[end] == '#') return "/";
  if (rest[end] == '?') return "/" + std::string(rest.substr(end));
  return std::string(rest.substr(end));
}

Head_Verdict check_request_head(http::request_header<>& request, bool body_pending) {
  // A proxy in front of the host speaks to it in absolute form.
  const auto target = request.target();
  if (!target.empty() && target.front() != '/' && target != "*") {
    std::string origin = origin_form(target);
    if (origin != target) request.target(origin);
  }
  if (request.version() >= 11 && request.count(http::field::host) != 1)
    return Head_Verdict::bad_host;
  auto expect = request.find(http::field::expect);
  if (expect == request.end()) return Head_Verdict::serve;
  if (!beast::iequals(expect->value(), "100-continue") ||
      request.count(http::field::expect) != 1)
    return Head_Verdict::bad_expect;
  // An HTTP/1.0 client does not know the interim answer.
  return body_pending && request.version() >= 11 ? Head_Verdict::send_continue
                                                  : Head_Verdict::serve;
}

std::string http_date(std::time_t t) {
  static const char* const days[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  long long secs = static_cast<long long>(t);
  long long day = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
  long long in_day = secs - day * 86400;
  int year;
  unsigned month, mday;
  civil_from_days(day, year, month, mday);
  std::string out;
  out.reserve(29);
  out += days[((day % 7) + 7) % 7];
  out += ", ";
  two_digits(out, mday);
  out += ' ';
  out += months[month - 1];
  out += ' ';
  out += std::to_string(year);
  out += ' ';
  two_digits(out, static_cast<unsigned>(in_day / 3600));
  out += ':';
  two_digits(out, static_cast<unsigned>(in_day / 60 % 60));
  out += ':';
  two_digits(out, static_cast<unsigned>(in_day % 60));
  out += " GMT";
  return out;
}

const std::string& http_date_now() {
  thread_local std::time_t made = -1;
  thread_local std::string text;
  const std::time_t now = std::time(nullptr);
  if (now != made) {
    text = http_date(now);
    made = now;
  }
  return text;
}

void stamp_response(http::response_header<>& response) {
  if (response.find(http::field::date) == response.end())
    response.set(http::field::date, http_date_now());
  if (response.result() == http::status::unauthorized &&
      response.find(http::field::www_authenticate) == response.end())
    response.set(http::field::www_authenticate, "Session header=\"X-Session-Key\"");
}

}  // namespace wagent
