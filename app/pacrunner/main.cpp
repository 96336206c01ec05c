// quorvel-pac-runner: evaluates one proxy auto-configuration script for one address, apart from
// Quorvel, because the script comes from the network. Usage: quorvel-pac-runner URL HOST, with the
// script on standard input; FindProxyForURL's answer goes to standard output. Any failure exits
// non-zero with a reason on standard error.
//
// The script gets a bounded heap and a CPU-time limit here; the program that starts it also kills
// it after a wall-clock limit (host-name look-ups block).
#include <duktape.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr std::size_t maximumScriptSize = 2 * 1024 * 1024;
constexpr std::size_t maximumHeapSize = 64 * 1024 * 1024;
constexpr std::size_t maximumAnswerSize = 64 * 1024;
constexpr rlim_t cpuSeconds = 10;

// The helper functions of proxy scripts that need no address look-up, in the script's own language.
const char *const helperFunctions = R"js(
function isPlainHostName(host) { return String(host).indexOf('.') < 0; }
function dnsDomainIs(host, domain) {
  host = String(host).toLowerCase(); domain = String(domain).toLowerCase();
  return host.length >= domain.length && host.substring(host.length - domain.length) === domain;
}
function localHostOrDomainIs(host, hostdom) {
  host = String(host).toLowerCase(); hostdom = String(hostdom).toLowerCase();
  return host === hostdom || (host.indexOf('.') < 0 && hostdom.indexOf(host + '.') === 0);
}
function isResolvable(host) { return dnsResolve(host) !== null; }
function isResolvableEx(host) { return dnsResolveEx(host) !== ''; }
function dnsDomainLevels(host) { return String(host).split('.').length - 1; }
function convert_addr(ipchars) {
  var b = String(ipchars).split('.');
  return (((b[0] & 0xff) << 24) | ((b[1] & 0xff) << 16) | ((b[2] & 0xff) << 8) | (b[3] & 0xff)) >>> 0;
}
function isInNet(host, pattern, mask) {
  var dotted = /^\d+\.\d+\.\d+\.\d+$/;
  var ip = dotted.test(host) ? host : dnsResolve(host);
  if (!ip || !dotted.test(ip)) return false;
  var m = convert_addr(mask);
  return ((convert_addr(ip) & m) >>> 0) === ((convert_addr(pattern) & m) >>> 0);
}
function shExpMatch(str, shexp) {
  var re = '^', special = '\\^$.|+()[]{}/';
  shexp = String(shexp);
  for (var i = 0; i < shexp.length; i++) {
    var c = shexp.charAt(i);
    re += c === '*' ? '.*' : c === '?' ? '.' : special.indexOf(c) >= 0 ? '\\' + c : c;
  }
  return new RegExp(re + '$').test(String(str));
}
var pacWeekdays = ['SUN', 'MON', 'TUE', 'WED', 'THU', 'FRI', 'SAT'];
var pacMonths = ['JAN', 'FEB', 'MAR', 'APR', 'MAY', 'JUN', 'JUL', 'AUG', 'SEP', 'OCT', 'NOV', 'DEC'];
function pacArguments(args) {
  var list = Array.prototype.slice.call(args);
  var gmt = list.length > 0 && String(list[list.length - 1]).toUpperCase() === 'GMT';
  if (gmt) list.pop();
  return { list: list, gmt: gmt, now: new Date() };
}
function pacInRange(value, first, last, inclusive) {
  var beforeEnd = inclusive ? value <= last : value < last;
  return first <= last ? value >= first && beforeEnd : value >= first || beforeEnd;
}
function weekdayRange() {
  var a = pacArguments(arguments);
  var today = a.gmt ? a.now.getUTCDay() : a.now.getDay();
  var first = pacWeekdays.indexOf(String(a.list[0]).toUpperCase());
  var last = a.list.length > 1 ? pacWeekdays.indexOf(String(a.list[1]).toUpperCase()) : first;
  return first >= 0 && last >= 0 && pacInRange(today, first, last, true);
}
function dateRange() {
  var a = pacArguments(arguments);
  var now = { day: a.gmt ? a.now.getUTCDate() : a.now.getDate(),
              month: a.gmt ? a.now.getUTCMonth() : a.now.getMonth(),
              year: a.gmt ? a.now.getUTCFullYear() : a.now.getFullYear() };
  var parts = [];
  for (var i = 0; i < a.list.length; i++) {
    var month = pacMonths.indexOf(String(a.list[i]).toUpperCase());
    var number = Number(a.list[i]);
    if (month >= 0) parts.push({ kind: 'month', value: month });
    else if (number > 31) parts.push({ kind: 'year', value: number });
    else if (number >= 1) parts.push({ kind: 'day', value: number });
    else return false;
  }
  if (parts.length === 0 || parts.length > 6) return false;
  var half = parts.length === 1 ? 1 : parts.length / 2;
  if (half !== Math.floor(half)) return false;
  var weight = { year: 10000, month: 100, day: 1 };
  function key(from) {
    var sum = 0, current = 0;
    for (var j = from; j < from + half; j++) { sum += parts[j].value * weight[parts[j].kind]; current += now[parts[j].kind] * weight[parts[j].kind]; }
    return { sum: sum, current: current };
  }
  var start = key(0);
  if (parts.length === 1) return start.sum === start.current;
  for (var k = 0; k < half; k++) if (parts[k].kind !== parts[k + half].kind) return false;
  return pacInRange(start.current, start.sum, key(half).sum, true);
}
function timeRange() {
  var a = pacArguments(arguments);
  var n = a.list.map(Number);
  var seconds = (a.gmt ? a.now.getUTCHours() : a.now.getHours()) * 3600
              + (a.gmt ? a.now.getUTCMinutes() : a.now.getMinutes()) * 60
              + (a.gmt ? a.now.getUTCSeconds() : a.now.getSeconds());
  if (n.length === 1) return Math.floor(seconds / 3600) === n[0];
  if (n.length === 2) return pacInRange(seconds, n[0] * 3600, n[1] * 3600, false);
  if (n.length === 4) return pacInRange(seconds, n[0] * 3600 + n[1] * 60, n[2] * 3600 + n[3] * 60, true);
  if (n.length === 6) return pacInRange(seconds, n[0] * 3600 + n[1] * 60 + n[2], n[3] * 3600 + n[4] * 60 + n[5], true);
  return false;
}
)js";

// The heap's allocations, counted: a script that asks for more than the budget gets an error.
struct Heap {
    std::size_t used = 0;
};

// A global, so that the leak checkers of test builds see the heap as still in use at exit.
duk_context *engine = nullptr;

struct alignas(std::max_align_t) Header {
    std::size_t size;
};

void *allocate(void *data, duk_size_t size)
{
    auto *heap = static_cast<Heap *>(data);
    if (size == 0 || size > maximumHeapSize - heap->used)
        return nullptr;
    auto *header = static_cast<Header *>(std::malloc(sizeof(Header) + size));
    if (!header)
        return nullptr;
    header->size = size;
    heap->used += size;
    return header + 1;
}

void release(void *data, void *pointer)
{
    if (!pointer)
        return;
    Header *header = static_cast<Header *>(pointer) - 1;
    static_cast<Heap *>(data)->used -= header->size;
    std::free(header);
}

void *reallocate(void *data, void *pointer, duk_size_t size)
{
    if (!pointer)
        return allocate(data, size);
    if (size == 0) {
        release(data, pointer);
        return nullptr;
    }
    auto *heap = static_cast<Heap *>(data);
    Header *header = static_cast<Header *>(pointer) - 1;
    const std::size_t old = header->size;
    if (size > old && size - old > maximumHeapSize - heap->used)
        return nullptr;
    auto *moved = static_cast<Header *>(std::realloc(header, sizeof(Header) + size));
    if (!moved)
        return nullptr;
    moved->size = size;
    heap->used = heap->used - old + size;
    return moved + 1;
}

[[noreturn]] void fail(const std::string &reason)
{
    std::fprintf(stderr, "%s\n", reason.c_str());
    std::exit(1);
}

void fatal(void *, const char *message)
{
    fail(std::string("the script engine stopped: ") + (message ? message : "no reason given"));
}

std::string addressText(const sockaddr *address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, text, sizeof text);
    return text;
}

// The addresses of a host, IPv4 first.
std::vector<std::string> resolve(const char *host)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    std::vector<std::string> v4, v6;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0)
        return {};
    for (const addrinfo *each = found; each; each = each->ai_next) {
        const std::string text = addressText(each->ai_addr);
        auto &list = each->ai_family == AF_INET ? v4 : v6;
        if (!text.empty() && std::find(list.begin(), list.end(), text) == list.end())
            list.push_back(text);
    }
    ::freeaddrinfo(found);
    v4.insert(v4.end(), v6.begin(), v6.end());
    return v4;
}

// This machine's addresses on its interfaces that are up, loopback last.
std::vector<std::string> ownAddresses()
{
    std::vector<std::string> outward, loopback;
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (const ifaddrs *each = list; each; each = each->ifa_next) {
            if (!each->ifa_addr || !(each->ifa_flags & IFF_UP)
                || (each->ifa_addr->sa_family != AF_INET && each->ifa_addr->sa_family != AF_INET6))
                continue;
            const std::string text = addressText(each->ifa_addr);
            if (text.empty() || text.rfind("fe80:", 0) == 0)
                continue;
            (each->ifa_flags & IFF_LOOPBACK ? loopback : outward).push_back(text);
        }
        ::freeifaddrs(list);
    }
    std::stable_partition(outward.begin(), outward.end(),
                          [](const std::string &text) { return text.find(':') == std::string::npos; });
    outward.insert(outward.end(), loopback.begin(), loopback.end());
    if (outward.empty())
        outward.push_back("127.0.0.1");
    return outward;
}

std::string joined(const std::vector<std::string> &list)
{
    std::string text;
    for (const std::string &each : list)
        text += (text.empty() ? "" : ";") + each;
    return text;
}

duk_ret_t dnsResolve(duk_context *context)
{
    const std::vector<std::string> found = resolve(duk_safe_to_string(context, 0));
    const auto v4 = std::find_if(found.begin(), found.end(),
                                 [](const std::string &text) { return text.find(':') == std::string::npos; });
    if (v4 == found.end())
        duk_push_null(context);
    else
        duk_push_string(context, v4->c_str());
    return 1;
}

duk_ret_t dnsResolveEx(duk_context *context)
{
    duk_push_string(context, joined(resolve(duk_safe_to_string(context, 0))).c_str());
    return 1;
}

duk_ret_t myIpAddress(duk_context *context)
{
    const std::vector<std::string> own = ownAddresses();
    const auto v4 = std::find_if(own.begin(), own.end(),
                                 [](const std::string &text) { return text.find(':') == std::string::npos; });
    duk_push_string(context, v4 == own.end() ? "127.0.0.1" : v4->c_str());
    return 1;
}

duk_ret_t myIpAddressEx(duk_context *context)
{
    duk_push_string(context, joined(ownAddresses()).c_str());
    return 1;
}

duk_ret_t alert(duk_context *context)
{
    std::fprintf(stderr, "alert: %s\n", duk_safe_to_string(context, 0));
    return 0;
}

std::string readScript()
{
    std::string script;
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            fail("the script could not be read");
        if (count == 0)
            return script;
        if (script.size() + std::size_t(count) > maximumScriptSize)
            fail("the script is larger than 2 MB");
        script.append(buffer, std::size_t(count));
    }
}

// Runs what is on the stack's top as code; the error's text when it throws.
std::string errorText(duk_context *context)
{
    if (duk_is_error(context, -1) && duk_get_prop_string(context, -1, "stack")) {
        std::string text = duk_safe_to_string(context, -1);
        duk_pop(context);
        return text;
    }
    return duk_safe_to_string(context, -1);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
        fail("usage: quorvel-pac-runner URL HOST < script");
    const rlimit cpu{cpuSeconds, cpuSeconds + 1};
    ::setrlimit(RLIMIT_CPU, &cpu);
    const std::string script = readScript();

    static Heap heap;
    engine = duk_create_heap(allocate, reallocate, release, &heap, fatal);
    duk_context *const context = engine;
    if (!context)
        fail("the script engine could not start");
    const struct {
        const char *name;
        duk_c_function function;
        duk_idx_t arguments;
    } natives[] = {{"dnsResolve", dnsResolve, 1}, {"dnsResolveEx", dnsResolveEx, 1}, {"myIpAddress", myIpAddress, 0},
                   {"myIpAddressEx", myIpAddressEx, 0}, {"alert", alert, 1}};
    for (const auto &native : natives) {
        duk_push_c_function(context, native.function, native.arguments);
        duk_put_global_string(context, native.name);
    }
    if (duk_peval_string(context, helperFunctions) != 0)
        fail("the helper functions do not compile: " + errorText(context));
    duk_pop(context);

    duk_push_string(context, "proxy script");
    if (duk_pcompile_lstring_filename(context, 0, script.data(), script.size()) != 0)
        fail("the script does not compile: " + errorText(context));
    if (duk_pcall(context, 0) != 0)
        fail("the script failed: " + errorText(context));
    duk_pop(context);

    if (!duk_get_global_string(context, "FindProxyForURL") || !duk_is_function(context, -1))
        fail("the script defines no function FindProxyForURL");
    duk_push_string(context, argv[1]);
    duk_push_string(context, argv[2]);
    if (duk_pcall(context, 2) != 0)
        fail("FindProxyForURL failed: " + errorText(context));
    if (!duk_is_string(context, -1))
        fail("FindProxyForURL did not answer with a text");
    duk_size_t length = 0;
    const char *answer = duk_get_lstring(context, -1, &length);
    if (length > maximumAnswerSize)
        fail("FindProxyForURL's answer is longer than 64 KB");
    std::fwrite(answer, 1, length, stdout);
    std::fputc('\n', stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
