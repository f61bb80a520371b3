// Lumoxdemo: the form LumoxTest, a URL field, a file field and eight buttons that each
// run one download or upload scenario against the Lumox library.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "scenarios.h"

namespace {

using lumox_demo::kScenarioCount;
using lumox_demo::kScenarios;

const wchar_t kWindowClass[] = L"LumoxTest";
const wchar_t kCaption[] = L"【Lumox利用ｻﾝﾌﾟﾙ】-Ver2.00";
const wchar_t kFontFace[] = L"ＭＳ Ｐゴシック";
constexpr int kFontCentiPoints = 975;  // 9.75 pt
constexpr int kClientWidthTwips = 9660;
constexpr int kClientHeightTwips = 8445;

// Control ids: the two text fields, the eight buttons (in scenario order), the rest.
constexpr int kIdTextUrl = 1001;
constexpr int kIdTextFile = 1002;
constexpr int kIdFirstButton = 1101;
constexpr int kIdFirstStatic = 1201;

enum class Kind { Frame, Label, Text, Button };

enum Container { kWindow = -1, kFrame1, kFrame3, kFrame4, kFrame2 };

struct ControlDef {
  const wchar_t *name;
  Kind kind;
  int container;   // kWindow or the frame the position is relative to
  int frameIndex;  // for frames: their own index in kFrames
  const wchar_t *text;
  int left, top, width, height;  // twips, relative to the container
  int tabIndex;
  int scenario;  // for buttons: index into kScenarios
};

// Frames, in the order of the Container enum.
const ControlDef kFrames[] = {
    {L"Frame1", Kind::Frame, kWindow, kFrame1, L"URL/ﾌｧｲﾙ", 120, 240, 9375, 1935, 0, -1},
    {L"Frame3", Kind::Frame, kWindow, kFrame3, L"ﾀﾞｳﾝﾛｰﾄﾞ", 120, 2400, 4575, 3495, 5, -1},
    {L"Frame4", Kind::Frame, kWindow, kFrame4, L"ｱｯﾌﾟﾛｰﾄﾞ", 4920, 2400, 4575, 3495, 10, -1},
    {L"Frame2", Kind::Frame, kWindow, kFrame2, L"注意事項", 120, 6120, 9375, 2175, 14, -1},
};

const ControlDef kControls[] = {
    {L"Label2", Kind::Label, kFrame1, -1, L"URLを入力して下さい：", 240, 360, 2295, 255, 2, -1},
    {L"TextURL", Kind::Text, kFrame1, -1, L"http://", 240, 600, 8535, 320, 1, -1},
    {L"Label4", Kind::Label, kFrame1, -1, L"ローカルのファイル名を入力して下さい：", 240, 1080,
     3495, 255, 4, -1},
    {L"TextFile", Kind::Text, kFrame1, -1, L"C:\\", 240, 1320, 8535, 320, 3, -1},
    {L"CmdDownload1", Kind::Button, kFrame3, -1, nullptr, 480, 480, 3615, 495, 6, 0},
    {L"CmdDownload2", Kind::Button, kFrame3, -1, nullptr, 480, 1200, 3615, 495, 7, 1},
    {L"CmdDownload3", Kind::Button, kFrame3, -1, nullptr, 480, 1920, 3615, 495, 8, 2},
    {L"CmdDownload4", Kind::Button, kFrame3, -1, nullptr, 480, 2640, 3615, 495, 9, 3},
    {L"CmdUpload1", Kind::Button, kFrame4, -1, nullptr, 480, 480, 3615, 495, 13, 4},
    {L"CmdUpload2", Kind::Button, kFrame4, -1, nullptr, 480, 1200, 3615, 495, 20, 5},
    {L"CmdUpload3", Kind::Button, kFrame4, -1, nullptr, 480, 1920, 3615, 495, 12, 6},
    {L"CmdUpload4", Kind::Button, kFrame4, -1, nullptr, 480, 2640, 3615, 495, 11, 7},
    {L"Label1", Kind::Label, kFrame2, -1,
     L"※①　　アップロードをご利用の際、サーバー側に受け取るアプリは必要になります。", 360, 360,
     8775, 255, 15, -1},
    {L"Label6", Kind::Label, kFrame2, -1,
     L"※②　　ＰＣ端末からブラウザでサーバーへのダウンロードとアップロードと同じ動作になります。",
     360, 720, 8775, 255, 17, -1},
    {L"Label5", Kind::Label, kFrame2, -1,
     L"※③　　【ﾊﾟﾗﾒｰﾀ付き】方式で、テスト用二つのパラメータ　⇒　【Name1/Value1】　と　【Name2/Value2】",
     360, 1080, 8775, 255, 16, -1},
    {L"Label7", Kind::Label, kFrame2, -1,
     L"※④　　プロキシ　サーバーについて、ソースコードをご参考下さい。", 360, 1440, 8775, 255, 18,
     -1},
    {L"Label3", Kind::Label, kFrame2, -1,
     L"※⑤　　詳しい利用説明について、同梱の【Lumox通信APIの説明】をご参考下さい。", 360, 1800, 8775,
     255, 19, -1},
};

HWND g_main = nullptr;
HWND g_textUrl = nullptr;
HWND g_textFile = nullptr;
HWND g_lastFocus = nullptr;  // restored when the window is activated again
HFONT g_font = nullptr;
bool g_busy = false;
int g_dpiX = 96;
int g_dpiY = 96;

int TwipsX(int twips) { return MulDiv(twips, g_dpiX, 1440); }
int TwipsY(int twips) { return MulDiv(twips, g_dpiY, 1440); }

std::wstring WindowText(HWND hwnd) {
  int length = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  int got = GetWindowTextW(hwnd, &text[0], length + 1);
  text.resize(static_cast<size_t>(std::max(got, 0)));
  return text;
}

// The window side of a scenario run.
class FormWindow : public lumox_demo::ScenarioWindow {
 public:
  void SetBusyPointer(bool busy) override {
    g_busy = busy;
    SetCursor(LoadCursorW(nullptr, busy ? IDC_WAIT : IDC_ARROW));
  }
  std::wstring UrlText() override { return WindowText(g_textUrl); }
  std::wstring FileText() override { return WindowText(g_textFile); }
  void ShowMessage(const std::wstring &text) override {
    MessageBoxW(g_main, text.c_str(), L"Lumoxdemo", MB_OK);
    if (g_busy) {
      SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    }
  }
};

HWND CreateControl(const ControlDef &def, int id) {
  int x = TwipsX(def.left);
  int y = TwipsY(def.top);
  if (def.container != kWindow) {
    const ControlDef &frame = kFrames[def.container];
    x += TwipsX(frame.left);
    y += TwipsY(frame.top);
  }
  const wchar_t *cls = L"STATIC";
  DWORD style = WS_CHILD | WS_VISIBLE;
  DWORD exStyle = 0;
  const wchar_t *text = def.text;
  switch (def.kind) {
    case Kind::Frame:
      cls = L"BUTTON";
      style |= BS_GROUPBOX;
      break;
    case Kind::Label: style |= SS_LEFTNOWORDWRAP | SS_NOPREFIX; break;
    case Kind::Text:
      cls = L"EDIT";
      style |= WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;
      exStyle |= WS_EX_CLIENTEDGE;
      break;
    case Kind::Button:
      cls = L"BUTTON";
      style |= WS_TABSTOP | BS_PUSHBUTTON;
      text = kScenarios[def.scenario].caption;
      break;
  }
  HWND hwnd = CreateWindowExW(
      exStyle, cls, text, style, x, y, TwipsX(def.width), TwipsY(def.height), g_main,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  if (hwnd != nullptr) {
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);
  }
  return hwnd;
}

// All controls are children of the window, positioned at their frame's offset, and
// stacked in tab-index order, which is the order tab moves the focus in.
void CreateControls() {
  std::vector<const ControlDef *> order;
  for (const ControlDef &def : kFrames) order.push_back(&def);
  for (const ControlDef &def : kControls) order.push_back(&def);
  std::sort(order.begin(), order.end(),
            [](const ControlDef *a, const ControlDef *b) { return a->tabIndex < b->tabIndex; });
  HWND previous = HWND_TOP;
  int nextStaticId = kIdFirstStatic;
  for (const ControlDef *def : order) {
    int id;
    if (def->kind == Kind::Button) {
      id = kIdFirstButton + def->scenario;
    } else if (def->kind == Kind::Text) {
      id = (wcscmp(def->name, L"TextURL") == 0) ? kIdTextUrl : kIdTextFile;
    } else {
      id = nextStaticId++;
    }
    HWND hwnd = CreateControl(*def, id);
    if (hwnd == nullptr) continue;
    SetWindowPos(hwnd, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    previous = hwnd;
    if (id == kIdTextUrl) g_textUrl = hwnd;
    if (id == kIdTextFile) g_textFile = hwnd;
  }
}

void RunButton(int scenario) {
  FormWindow window;
  lumox_demo::LumoxApiLibrary library;
  lumox_demo::RunScenario(kScenarios[scenario], window, library);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_CREATE:
      g_main = hwnd;
      CreateControls();
      g_lastFocus = g_textUrl;
      return 0;
    case WM_COMMAND: {
      int id = LOWORD(wParam);
      if (HIWORD(wParam) == BN_CLICKED && id >= kIdFirstButton &&
          id < kIdFirstButton + kScenarioCount) {
        RunButton(id - kIdFirstButton);
      }
      return 0;
    }
    case WM_SETCURSOR:
      // While a run is on, the hourglass shows over the whole window, also while one of
      // the run's message boxes holds the window disabled.
      if (g_busy) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(hwnd, focus)) g_lastFocus = focus;
      } else if (g_lastFocus != nullptr) {
        SetFocus(g_lastFocus);
      }
      return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  HDC screen = GetDC(nullptr);
  if (screen != nullptr) {
    g_dpiX = GetDeviceCaps(screen, LOGPIXELSX);
    g_dpiY = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  g_font = CreateFontW(-MulDiv(kFontCentiPoints, g_dpiY, 7200), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                       FALSE, SHIFTJIS_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                       DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, kFontFace);

  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kWindowClass;
  if (RegisterClassExW(&wc) == 0) return 1;

  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT rect = {0, 0, TwipsX(kClientWidthTwips), TwipsY(kClientHeightTwips)};
  AdjustWindowRectEx(&rect, style, FALSE, 0);
  HWND hwnd = CreateWindowExW(0, kWindowClass, kCaption, style, CW_USEDEFAULT, CW_USEDEFAULT,
                              rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr,
                              instance, nullptr);
  if (hwnd == nullptr) return 1;
  ShowWindow(hwnd, show);
  UpdateWindow(hwnd);
  SetFocus(g_textUrl);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(hwnd, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  if (g_font != nullptr) DeleteObject(g_font);
  return static_cast<int>(msg.wParam);
}
