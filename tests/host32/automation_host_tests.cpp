// A 32-bit automation host calling the library as VB6 and 32-bit VBA do: each export bound
// by name, its arguments pushed by a stdcall caller that pushes exactly the bytes of the
// export's decorated name in Lumox-i686.def (Name@N), text arguments as ANSI strings, the
// parameter list as the address of the host's variable holding an array of records of two
// Strings, result strings taken back from a String variable and freed with SysFreeString.
// After every call the stack pointer and the registers a caller keeps (ebx, esi, edi, ebp)
// must be as they were: a callee that pops other than N bytes is what such a host reports
// as a bad calling convention.
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>

#include "integration_support.h"

extern "C" {
// Filled by lumox_stdcall_call: the stack pointer before the arguments were pushed and
// after the callee returned, the kept registers after it returned, and its result.
struct StdcallOutcome {
  uint32_t espBefore, espAfter, ebx, esi, edi, ebp, result;
};
extern StdcallOutcome lumox_stdcall_outcome;
void lumox_stdcall_call(const void *fn, const uint32_t *args, uint32_t count);
}

// Pushes args[count-1] .. args[0], loads marks into the kept registers, calls fn, records
// what the callee left, and returns with the caller's own stack and registers back.
asm(R"(
    .text
    .globl _lumox_stdcall_call
_lumox_stdcall_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl %esp, _lumox_stdcall_outcome
    movl 8(%ebp), %eax
    movl 12(%ebp), %edx
    movl 16(%ebp), %ecx
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%edx,%ecx,4)
    jmp 1b
2:  movl $0x0EB50EB5, %ebx
    movl $0x051051E5, %esi
    movl $0x0ED10ED1, %edi
    movl $0x0EB90EB9, %ebp
    call *%eax
    movl %esp, _lumox_stdcall_outcome+4
    movl %ebx, _lumox_stdcall_outcome+8
    movl %esi, _lumox_stdcall_outcome+12
    movl %edi, _lumox_stdcall_outcome+16
    movl %ebp, _lumox_stdcall_outcome+20
    movl %eax, _lumox_stdcall_outcome+24
    movl _lumox_stdcall_outcome, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
    .data
    .balign 4
    .globl _lumox_stdcall_outcome
_lumox_stdcall_outcome:
    .space 28
    .text
)");

namespace lumox_it {
namespace {

// The argument bytes of each export, from the decorated names of Lumox-i686.def.
std::map<std::string, uint32_t> DeclaredBytes() {
  std::map<std::string, uint32_t> bytes;
  std::ifstream def(NativePath(LUMOX_I686_DEF));
  std::string line;
  while (std::getline(def, line)) {
    std::istringstream words(line);
    std::string word;
    words >> word;
    size_t at = word.find('@');
    if (at != std::string::npos && at > 0)
      bytes[word.substr(0, at)] = std::stoul(word.substr(at + 1));
  }
  return bytes;
}

// A String passed ByVal to a declared function: an ANSI copy that lives for the call.
class ByValString {
 public:
  explicit ByValString(const std::string &ansi)
      : s_(SysAllocStringByteLen(ansi.data(), static_cast<UINT>(ansi.size()))) {}
  ~ByValString() { SysFreeString(s_); }
  ByValString(const ByValString &) = delete;
  ByValString &operator=(const ByValString &) = delete;
  uint32_t arg() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(s_)); }

 private:
  BSTR s_;
};

// A String variable passed ByRef: the callee gets the address of an ANSI copy of it, and
// after the call the copy's bytes become the variable's text again (code page 932) and the
// copy is freed.
class ByRefString {
 public:
  explicit ByRefString(const std::string &ansiBefore)
      : copy_(SysAllocStringByteLen(ansiBefore.data(), static_cast<UINT>(ansiBefore.size()))) {}
  ~ByRefString() { SysFreeString(copy_); }
  ByRefString(const ByRefString &) = delete;
  ByRefString &operator=(const ByRefString &) = delete;
  uint32_t arg() { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&copy_)); }
  // The bytes the callee left, then the copy freed as the host frees it.
  std::string TakeBytes() {
    std::string bytes =
        copy_ ? std::string(reinterpret_cast<const char *>(copy_), SysStringByteLen(copy_))
              : std::string();
    SysFreeString(copy_);
    copy_ = nullptr;
    return bytes;
  }

 private:
  BSTR copy_;
};

std::u16string Wide(const std::string &ansi) {
  std::u16string out(ansi.size(), u'\0');
  int n = MultiByteToWideChar(932, 0, ansi.data(), static_cast<int>(ansi.size()),
                              reinterpret_cast<wchar_t *>(&out[0]), static_cast<int>(out.size()));
  out.resize(n > 0 ? n : 0);
  return out;
}

// `Dim params(0 To records - 1) As LumoxPair`, filled from the front: an array of 8-byte
// records (two BSTR pointers on 32-bit) whose unset entries hold null strings.
class PairArray {
 public:
  PairArray(ULONG records, const std::vector<std::pair<std::u16string, std::u16string>> &pairs) {
    SAFEARRAYBOUND bound = {records, 0};
    // An 8-byte element type: what the library sees is the record size and the data.
    array_ = SafeArrayCreate(VT_CY, 1, &bound);
    if (!array_) return;
    BSTR *data = static_cast<BSTR *>(array_->pvData);
    for (size_t i = 0; i < pairs.size() && i < records; ++i) {
      data[2 * i] = SysAllocStringLen(reinterpret_cast<const OLECHAR *>(pairs[i].first.data()),
                                      static_cast<UINT>(pairs[i].first.size()));
      data[2 * i + 1] = SysAllocStringLen(reinterpret_cast<const OLECHAR *>(pairs[i].second.data()),
                                          static_cast<UINT>(pairs[i].second.size()));
    }
  }
  ~PairArray() {
    if (!array_) return;
    BSTR *data = static_cast<BSTR *>(array_->pvData);
    for (ULONG i = 0; i < 2 * array_->rgsabound[0].cElements; ++i) SysFreeString(data[i]);
    EXPECT_EQ(S_OK, SafeArrayDestroy(array_)) << "the array was left locked";
  }
  PairArray(const PairArray &) = delete;
  PairArray &operator=(const PairArray &) = delete;
  uint32_t arg() { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&array_)); }
  SAFEARRAY *array() const { return array_; }

 private:
  SAFEARRAY *array_ = nullptr;
};

uint32_t Arg(const void *pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}
uint32_t Arg(int value) { return static_cast<uint32_t>(value); }

std::string Target(const Record &record) {
  size_t a = record.requestLine.find(' ');
  size_t b = record.requestLine.rfind(' ');
  return a == std::string::npos || b <= a ? "" : record.requestLine.substr(a + 1, b - a - 1);
}
std::string Query(const std::string &target) {
  size_t q = target.find('?');
  return q == std::string::npos ? "" : target.substr(q);
}

class AutomationHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bytes_ = new std::map<std::string, uint32_t>(DeclaredBytes());
    copy_ = new LibraryCopy("", "host32");
  }
  static void TearDownTestSuite() {
    delete copy_;
    delete bytes_;
  }
  void SetUp() override { REQUIRE_SERVER(); }

  // Calls the export as a host that declared these arguments: their bytes must be the ones
  // of its decorated name, and after the call the stack and kept registers must be intact.
  int Call(const char *name, std::vector<uint32_t> args) {
    auto it = bytes_->find(name);
    FARPROC fn = copy_->Proc(name);
    if (it == bytes_->end() || !fn) {
      ADD_FAILURE() << name << ": not in Lumox-i686.def or not exported";
      return -1;
    }
    EXPECT_EQ(it->second, 4 * args.size()) << name << ": arguments declared by the host";
    lumox_stdcall_call(reinterpret_cast<const void *>(fn), args.data(),
                       static_cast<uint32_t>(args.size()));
    const StdcallOutcome &o = lumox_stdcall_outcome;
    EXPECT_EQ(o.espBefore, o.espAfter)
        << name << ": the callee popped " << (o.espAfter - o.espBefore + 4 * args.size())
        << " bytes of " << 4 * args.size();
    EXPECT_EQ(0x0EB50EB5u, o.ebx) << name << ": ebx not kept";
    EXPECT_EQ(0x051051E5u, o.esi) << name << ": esi not kept";
    EXPECT_EQ(0x0ED10ED1u, o.edi) << name << ": edi not kept";
    EXPECT_EQ(0x0EB90EB9u, o.ebp) << name << ": ebp not kept";
    return static_cast<int>(o.result);
  }

  static std::map<std::string, uint32_t> *bytes_;
  static LibraryCopy *copy_;
  Scratch files_;
};
std::map<std::string, uint32_t> *AutomationHost::bytes_ = nullptr;
LibraryCopy *AutomationHost::copy_ = nullptr;

TEST_F(AutomationHost, TheDefDeclaresTheTwelveExports) {
  const std::map<std::string, uint32_t> want = {
      {"HttpDownloadFile", 16},  {"HttpDownloadFileEx", 36},  {"HttpGetErrStr", 8},
      {"HttpParseURL", 8},       {"HttpUploadFile", 20},      {"HttpUploadFileEx", 40},
      {"HttpDownloadFileC", 20}, {"HttpDownloadFileExC", 40}, {"HttpGetErrStrC", 12},
      {"HttpParseURLC", 12},     {"HttpUploadFileC", 24},     {"HttpUploadFileExC", 44}};
  EXPECT_EQ(want, *bytes_);
}

TEST_F(AutomationHost, ResultStringsComeBackAsAnsiBytesInTheVariable) {
  char buffer[512] = {};
  ASSERT_EQ(0, Call("HttpGetErrStrC", {Arg(404), Arg(buffer), Arg(sizeof buffer)}));
  EXPECT_EQ(u"要求された URI は存在しない。", Wide(buffer));

  // The variable held text before; the library frees that copy and stores the message.
  ByRefString message("before");
  ASSERT_EQ(0, Call("HttpGetErrStr", {Arg(404), message.arg()}));
  EXPECT_EQ(std::string(buffer), message.TakeBytes());

  std::string url = "http://127.0.0.1:8080/a/./b/../c d";
  ASSERT_EQ(0, Call("HttpParseURLC", {Arg(url.c_str()), Arg(buffer), Arg(sizeof buffer)}));
  EXPECT_STREQ("http://127.0.0.1:8080/a/c%20d", buffer);
  ByValString byVal(url);
  ByRefString canonical("");
  ASSERT_EQ(0, Call("HttpParseURL", {byVal.arg(), canonical.arg()}));
  EXPECT_EQ("http://127.0.0.1:8080/a/c%20d", canonical.TakeBytes());
}

// The download exports with a list and without, by GET and by POST, direct and through the
// proxy; the automation form's UTF-16 pairs must reach the server as the plain form's
// Shift-JIS pairs do.
TEST_F(AutomationHost, DownloadsCarryTheHostArrayPairs) {
  const std::string value2 = Sjis(u8"値 2");
  char n1[] = "Name1", v1[] = "Value1", n2[] = "Name2";
  std::vector<char *> plain = {n1, v1, n2, const_cast<char *>(value2.c_str())};
  PairArray params(3, {{u"Name1", u"Value1"}, {u"Name2", u"値 2"}});
  SAFEARRAY *none = nullptr;  // never dimensioned
  uint32_t noneArg = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&none));
  std::string proxy = "127.0.0.1", user = "Kiva3", password = "7391";
  int port = Server().proxyPort;
  struct Case {
    const char *name;
    bool proxied, withList, post;
  };
  const Case cases[] = {
      {"HttpDownloadFile", false, true, false},   {"HttpDownloadFile", false, false, false},
      {"HttpDownloadFile", false, true, true},    {"HttpDownloadFileEx", true, true, false},
      {"HttpDownloadFileC", false, true, false},  {"HttpDownloadFileC", false, true, true},
      {"HttpDownloadFileExC", true, true, false},
  };
  std::map<std::string, std::string> queries;
  for (const Case &c : cases) {
    bool automation = std::string(c.name).find("FileC") == std::string::npos &&
                      std::string(c.name).find("ExC") == std::string::npos;
    SCOPED_TRACE(std::string(c.name) + (c.withList ? "" : " without list") +
                 (c.post ? " by POST" : ""));
    std::string id = UniqueId("h32dl");
    std::string url = (c.proxied ? ProxiedUrl(id, "body/3000") : HttpUrl(id, "body/3000"));
    std::string target = files_.Path(id + ".bin");
    ByValString u(url), t(target), ps(proxy), us(user), pw(password);
    std::vector<uint32_t> args;
    if (automation) {
      args = {u.arg(), c.withList ? params.arg() : noneArg, t.arg(), Arg(c.post ? 1 : 0)};
    } else {
      args = {Arg(url.c_str()), Arg(plain.data()), Arg(2), Arg(target.c_str()),
              Arg(c.post ? 1 : 0)};
    }
    if (c.proxied) {
      std::vector<uint32_t> more = {Arg(0), automation ? ps.arg() : Arg(proxy.c_str()), Arg(port),
                                    automation ? us.arg() : Arg(user.c_str()),
                                    automation ? pw.arg() : Arg(password.c_str())};
      args.insert(args.end(), more.begin(), more.end());
    }
    ASSERT_EQ(0, Call(c.name, args));
    EXPECT_EQ(Pattern(3000), ReadFileBytes(target));
    if (automation) {
      EXPECT_EQ(0u, params.array()->cLocks) << "the array was left locked";
    }
    std::vector<Record> records = Records(id);
    ASSERT_FALSE(records.empty());
    std::string query = Query(Target(records.back()));
    if (!c.withList) {
      EXPECT_EQ("", query);
    } else if (c.post) {
      std::string b = BoundaryOf(records.back());
      ASSERT_FALSE(b.empty()) << records.back().head;
      EXPECT_EQ(FieldSection(b, "Name1", "Value1") + FieldSection(b, "Name2", value2) + "--" + b +
                    "--\r\n",
                records.back().body);
    } else {
      EXPECT_EQ(0u, query.find("?Name1=Value1&Name2=")) << query;
      queries[c.name] = query;
    }
  }
  // The same bytes from both forms, whether direct or through the proxy.
  EXPECT_EQ(queries["HttpDownloadFileC"], queries["HttpDownloadFile"]);
  EXPECT_EQ(queries["HttpDownloadFileC"], queries["HttpDownloadFileEx"]);
  EXPECT_EQ(queries["HttpDownloadFileC"], queries["HttpDownloadFileExC"]);
}

TEST_F(AutomationHost, UploadsSendTheFileBehindTheHostArrayFields) {
  const std::string data = Pattern(5000);
  std::string file = files_.Path("up.bin");
  WriteFileBytes(file, data);
  PairArray params(3, {{u"Name1", u"Value1"}, {u"Name2", u"Value2"}});
  char n1[] = "Name1", v1[] = "Value1", n2[] = "Name2", v2[] = "Value2";
  std::vector<char *> plain = {n1, v1, n2, v2};
  std::string proxy = "127.0.0.1", user = "Kiva3", password = "7391", field = "upfile";
  int port = Server().proxyPort;
  const char *names[] = {"HttpUploadFile", "HttpUploadFileEx", "HttpUploadFileC",
                         "HttpUploadFileExC"};
  for (const char *name : names) {
    SCOPED_TRACE(name);
    bool automation = std::string(name).back() != 'C';
    bool proxied = std::string(name).find("Ex") != std::string::npos;
    std::string id = UniqueId("h32ul");
    std::string url = proxied ? ProxiedUrl(id, "text/OK") : HttpUrl(id, "text/OK");
    std::string reply = files_.Path(id + ".reply");
    ByValString u(url), f(file), fn(field), r(reply), ps(proxy), us(user), pw(password);
    std::vector<uint32_t> args;
    if (automation) {
      args = {u.arg(), params.arg(), f.arg(), fn.arg(), r.arg()};
    } else {
      args = {Arg(url.c_str()),  Arg(plain.data()),  Arg(2),
              Arg(file.c_str()), Arg(field.c_str()), Arg(reply.c_str())};
    }
    if (proxied) {
      std::vector<uint32_t> more = {Arg(1), automation ? ps.arg() : Arg(proxy.c_str()), Arg(port),
                                    automation ? us.arg() : Arg(user.c_str()),
                                    automation ? pw.arg() : Arg(password.c_str())};
      args.insert(args.end(), more.begin(), more.end());
    }
    int result = Call(name, args);
    std::vector<Record> records = Records(id);
    ASSERT_FALSE(records.empty());
    if (proxied) {
      // The body-less priming request carries the proxy credentials the host passed.
      EXPECT_EQ("Basic S2l2YTM6NzM5MQ==", records[0].header("Proxy-Authorization"));
      EXPECT_WINDOWS(EXPECT_EQ(0, result),
                     "Wine keeps no proxy credentials between requests and its HttpEndRequestA "
                     "does not answer the 407 of the real request");
      if (result == 407) continue;
    }
    ASSERT_EQ(0, result);
    EXPECT_EQ("OK", ReadFileBytes(reply));
    if (automation) {
      EXPECT_EQ(0u, params.array()->cLocks) << "the array was left locked";
    }
    const Record &last = records.back();
    std::string boundary = BoundaryOf(last);
    ASSERT_FALSE(boundary.empty()) << last.head;
    std::string want = FieldSection(boundary, "Name1", "Value1") +
                       FieldSection(boundary, "Name2", "Value2") +
                       FilePartHeader(boundary, field, file) + data;
    EXPECT_EQ(0u, last.body.find(want)) << Hex(last.body.substr(0, 400));
  }
}

}  // namespace
}  // namespace lumox_it
