// Helper of the GUI test, run in the same Wine prefix as Lumoxdemo. It reports what the
// client shows, as one JSON object per line in UTF-8:
//
//   boxreader layout             the main window: caption, client size, focus, and every
//                                child in z-order (class, id, text, rects, tab stop)
//   boxreader focus [is|not <id> <timeout-ms> [empty]]
//                                the control that has the keyboard focus; with `is` or `not`
//                                once the focus is (is no longer) on control <id> (and, with
//                                `empty`, that control holds no text), or the time is up
//   boxreader text <id> <hex-utf8> <timeout-ms>
//                                the text of control <id>, typed into it after it was emptied,
//                                once it is the given text, or no longer a beginning of it
//                                (typing went wrong), or the time is up
//   boxreader boxes <count> <timeout-ms>
//                                waits for <count> message boxes titled "Lumoxdemo" one after
//                                the other, reads each one's texts and buttons, presses OK and
//                                waits until it is gone; then waits until the client is idle
//                                and reads any further box it opened, ending with an "idle" line
//   boxreader errstr <dll> <code>  the message Lumox gives for a code (HttpGetErrStrC)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t kCaptionStart[] = L"【Lumox利用ｻﾝﾌﾟﾙ】-";
const wchar_t kBoxTitle[] = L"Lumoxdemo";

std::string Utf8(const std::wstring &w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr,
                        nullptr);
  return s;
}

std::string Json(const std::wstring &w) {
  std::string in = Utf8(w), out = "\"";
  for (unsigned char c : in) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void Emit(const std::string &line) {
  fwrite(line.data(), 1, line.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

// Text of a window of another process (WM_GETTEXT is marshalled across processes).
std::wstring TextOf(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length))
    return std::wstring();
  std::vector<wchar_t> buf(length + 2, L'\0');
  DWORD_PTR got = 0;
  SendMessageTimeoutW(hwnd, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()),
                      SMTO_ABORTIFHUNG, 5000, &got);
  return std::wstring(buf.data(), got <= length ? got : length);
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t buf[128] = {};
  GetClassNameW(hwnd, buf, 127);
  return buf;
}

std::wstring TitleOf(HWND hwnd) {
  wchar_t buf[512] = {};
  GetWindowTextW(hwnd, buf, 511);
  return buf;
}

struct Found {
  std::vector<HWND> windows;
  bool boxes;
  bool visible;
};

BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM param) {
  auto *found = reinterpret_cast<Found *>(param);
  if (found->visible && !IsWindowVisible(hwnd)) return TRUE;
  std::wstring title = TitleOf(hwnd);
  if (found->boxes) {
    if (title == kBoxTitle && ClassOf(hwnd) == L"#32770") found->windows.push_back(hwnd);
  } else if (title.compare(0, wcslen(kCaptionStart), kCaptionStart) == 0) {
    found->windows.push_back(hwnd);
  }
  return TRUE;
}

std::vector<HWND> FindTopLevel(bool boxes, bool visible = true) {
  Found found{{}, boxes, visible};
  EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&found));
  return found.windows;
}

HWND MainWindow() {
  std::vector<HWND> all = FindTopLevel(false);
  return all.empty() ? nullptr : all[0];
}

std::string RectJson(const RECT &r) {
  char buf[96];
  snprintf(buf, sizeof buf, "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right - r.left, r.bottom - r.top);
  return buf;
}

HWND FocusOf(HWND main) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof(info);
  DWORD thread = GetWindowThreadProcessId(main, nullptr);
  if (!GetGUIThreadInfo(thread, &info)) return nullptr;
  return info.hwndFocus;
}

int Layout() {
  HWND main = MainWindow();
  if (main == nullptr) {
    Emit("{\"error\":\"main window not found\"}");
    return 1;
  }
  RECT client = {};
  GetClientRect(main, &client);
  POINT origin = {0, 0};
  ClientToScreen(main, &origin);
  HWND focus = FocusOf(main);
  char head[160];
  snprintf(head, sizeof head, ",\"client\":[%ld,%ld],\"origin\":[%ld,%ld],\"focus\":%d}",
           client.right, client.bottom, origin.x, origin.y,
           focus != nullptr ? GetDlgCtrlID(focus) : 0);
  Emit("{\"caption\":" + Json(TitleOf(main)) + head);
  for (HWND child = GetWindow(main, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    RECT screen = {};
    GetWindowRect(child, &screen);
    RECT local = screen;
    MapWindowPoints(nullptr, main, reinterpret_cast<POINT *>(&local), 2);
    LONG style = GetWindowLongW(child, GWL_STYLE);
    char tail[200];
    snprintf(tail, sizeof tail,
             ",\"id\":%d,\"style\":%ld,\"tabstop\":%s,\"visible\":%s,\"rect\":%s,\"screen\":%s}",
             GetDlgCtrlID(child), style, (style & WS_TABSTOP) ? "true" : "false",
             IsWindowVisible(child) ? "true" : "false", RectJson(local).c_str(),
             RectJson(screen).c_str());
    Emit("{\"class\":" + Json(ClassOf(child)) + ",\"text\":" + Json(TextOf(child)) + tail);
  }
  return 0;
}

// Polls every 50 ms until done() holds or timeoutMs has passed; returns done()'s last answer.
template <typename Done>
bool WaitFor(DWORD timeoutMs, Done done) {
  DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(50);
  }
}

// focus [is|not <id> <timeout-ms> [empty]]
int Focus(const std::string &how, int id, DWORD timeoutMs, bool empty) {
  HWND main = MainWindow();
  if (main == nullptr) {
    Emit("{\"error\":\"main window not found\"}");
    return 1;
  }
  int now = 0;
  bool met = WaitFor(how.empty() ? 0 : timeoutMs, [&] {
    HWND focus = FocusOf(main);
    now = focus != nullptr ? GetDlgCtrlID(focus) : 0;
    return how.empty() ||
           ((how == "is") == (now == id) && !(empty && !TextOf(GetDlgItem(main, now)).empty()));
  });
  HWND focus = now != 0 ? GetDlgItem(main, now) : nullptr;
  char buf[64];
  snprintf(buf, sizeof buf, "{\"met\":%s,\"id\":%d,\"text\":", met ? "true" : "false", now);
  Emit(buf + Json(focus != nullptr ? TextOf(focus) : L"") + "}");
  return 0;
}

std::wstring FromHexUtf8(const char *hex) {
  std::string bytes;
  for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
    char pair[3] = {hex[i], hex[i + 1], '\0'};
    bytes += static_cast<char>(strtol(pair, nullptr, 16));
  }
  if (bytes.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &w[0], n);
  return w;
}

// text <id> <hex-utf8> <timeout-ms>: typed characters arrive one by one into the emptied
// field, so it passes through beginnings of the wanted text; one that is not has gone wrong.
int Text(int id, const std::wstring &want, DWORD timeoutMs) {
  HWND main = MainWindow();
  HWND field = main != nullptr ? GetDlgItem(main, id) : nullptr;
  if (field == nullptr) {
    Emit("{\"error\":\"control not found\"}");
    return 1;
  }
  std::wstring now;
  WaitFor(timeoutMs, [&] {
    now = TextOf(field);
    return now.size() >= want.size() || want.compare(0, now.size(), now) != 0;
  });
  char buf[64];
  snprintf(buf, sizeof buf, "{\"match\":%s,\"id\":%d,\"text\":", now == want ? "true" : "false",
           id);
  Emit(buf + Json(now) + "}");
  return 0;
}

struct BoxParts {
  std::vector<std::wstring> texts;
  std::vector<std::wstring> buttons;
  HWND ok = nullptr;
  int icons = 0;
};

BOOL CALLBACK CollectBoxParts(HWND child, LPARAM param) {
  auto *parts = reinterpret_cast<BoxParts *>(param);
  if (!IsWindowVisible(child)) return TRUE;
  std::wstring cls = ClassOf(child);
  LONG style = GetWindowLongW(child, GWL_STYLE);
  if (_wcsicmp(cls.c_str(), L"Static") == 0) {
    if ((style & SS_TYPEMASK) == SS_ICON) {
      // The box keeps its icon control even without an icon; count it only when it holds one.
      DWORD_PTR icon = 0;
      SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 5000, &icon);
      if (icon != 0) parts->icons++;
    } else {
      std::wstring text = TextOf(child);
      if (!text.empty()) parts->texts.push_back(text);
    }
  } else if (_wcsicmp(cls.c_str(), L"Button") == 0) {
    parts->buttons.push_back(TextOf(child));
    if (GetDlgCtrlID(child) == IDOK) parts->ok = child;
  }
  return TRUE;
}

// Reads a box (once it has its OK button and a text), presses
// OK, waits until it is gone and emits what it showed.
bool ReadBox(HWND box, DWORD timeoutMs) {
  BoxParts parts;
  WaitFor(timeoutMs, [&] {
    parts = BoxParts();
    EnumChildWindows(box, CollectBoxParts, reinterpret_cast<LPARAM>(&parts));
    return parts.ok != nullptr && !parts.texts.empty();
  });
  std::wstring text;
  for (size_t i = 0; i < parts.texts.size(); ++i) text += (i ? L"\n" : L"") + parts.texts[i];
  std::string buttons = "[";
  for (size_t i = 0; i < parts.buttons.size(); ++i)
    buttons += (i ? "," : "") + Json(parts.buttons[i]);
  buttons += "]";
  HWND main = MainWindow();
  HWND owner = GetWindow(box, GW_OWNER);
  char flags[200];
  snprintf(flags, sizeof flags,
           ",\"icons\":%d,\"owner_is_main\":%s,\"main_enabled\":%s,\"open_boxes\":%d", parts.icons,
           (owner != nullptr && owner == main) ? "true" : "false",
           (main != nullptr && IsWindowEnabled(main)) ? "true" : "false",
           static_cast<int>(FindTopLevel(true).size()));
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(parts.ok));
  bool closed = WaitFor(timeoutMs, [&] { return !IsWindow(box) || !IsWindowVisible(box); });
  Emit("{\"text\":" + Json(text) + ",\"buttons\":" + buttons + flags +
       ",\"closed\":" + (closed ? "true" : "false") + "}");
  return closed;
}

// A box not yet read: with visible, one on screen; without, also one still being made (the
// dialog shows itself only once its message loop runs).
HWND NewBox(const std::vector<HWND> &done, bool visible) {
  for (HWND box : FindTopLevel(true, visible))
    if (std::find(done.begin(), done.end(), box) == done.end()) return box;
  return nullptr;
}

int Boxes(int count, DWORD timeoutMs) {
  std::vector<HWND> done;
  for (int i = 0; i < count + 4; ++i) {
    if (i >= count) {
      // The client is idle once its thread answers a message: then either its handler has
      // returned or the next box's message loop runs, and that box exists.
      HWND main = MainWindow();
      DWORD_PTR ignored = 0;
      bool idle = main == nullptr ||
                  SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &ignored) != 0;
      if (NewBox(done, false) == nullptr) {
        Emit(std::string("{\"idle\":") + (idle ? "true" : "false") + "}");
        return 0;
      }
    }
    HWND box = nullptr;
    if (!WaitFor(timeoutMs, [&] { return (box = NewBox(done, true)) != nullptr; })) {
      Emit("{\"none\":true}");
      return 0;
    }
    done.push_back(box);
    if (!ReadBox(box, timeoutMs)) return 1;
  }
  Emit("{\"error\":\"more boxes than expected kept opening\"}");
  return 1;
}

int ErrStr(const char *dll, int code) {
  HMODULE module = LoadLibraryA(dll);
  if (module == nullptr) {
    Emit("{\"error\":\"cannot load the library\"}");
    return 1;
  }
  using Proc = int(WINAPI *)(int, char *, unsigned int);
  auto proc = reinterpret_cast<Proc>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, "HttpGetErrStrC")));
  if (proc == nullptr) {
    Emit("{\"error\":\"no HttpGetErrStrC\"}");
    return 1;
  }
  char buffer[512] = {};
  int rc = proc(code, buffer, sizeof buffer);
  wchar_t wide[512] = {};
  int n = MultiByteToWideChar(932, 0, buffer, -1, wide, 511);
  std::wstring text = n > 0 ? std::wstring(wide) : std::wstring();
  char head[40];
  snprintf(head, sizeof head, "{\"rc\":%d,\"text\":", rc);
  Emit(head + Json(text) + "}");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "layout") return Layout();
  if (mode == "focus")
    return argc > 4 ? Focus(argv[2], atoi(argv[3]), static_cast<DWORD>(atol(argv[4])),
                            argc > 5 && std::string(argv[5]) == "empty")
                    : Focus("", 0, 0, false);
  if (mode == "text" && argc > 4)
    return Text(atoi(argv[2]), FromHexUtf8(argv[3]), static_cast<DWORD>(atol(argv[4])));
  if (mode == "boxes" && argc > 3) return Boxes(atoi(argv[2]), static_cast<DWORD>(atol(argv[3])));
  if (mode == "errstr" && argc > 3) return ErrStr(argv[2], atoi(argv[3]));
  fprintf(stderr,
          "usage: boxreader layout | focus [is|not <id> <ms> [empty]] | text <id> <hex> <ms> |"
          " boxes <count> <ms> | errstr <dll> <code>\n");
  return 2;
}
