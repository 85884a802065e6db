// The headless demo: walks QuenvaleEnroll.exe through one attempt as a user
// would (code pasted, Yes to every question) and saves a screenshot of each
// step with ImageMagick's import, run on the Linux side through Wine.
//   demo_walkthrough PROGRAM.exe CODE OUTPUT_FOLDER(Unix path)
// Prints the path of each picture.
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "core/outcome.h"
#include "tests/gui/window_driver.h"

namespace {

using UnixSpawn = LONG(__cdecl*)(char* const argv[], int wait);

std::string g_folder;
int g_shots = 0;

std::string Utf8(const wchar_t* text) {
  char buffer[4096] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer - 1, nullptr, nullptr);
  return buffer;
}

// The smallest rectangle around the main window and, if open, its box.
std::string Geometry(HWND window, HWND box) {
  RECT area;
  GetWindowRect(window, &area);
  if (box != nullptr) {
    RECT other;
    GetWindowRect(box, &other);
    UnionRect(&area, &area, &other);
  }
  if (area.left < 0) area.left = 0;
  if (area.top < 0) area.top = 0;
  return std::to_string(area.right - area.left) + "x" + std::to_string(area.bottom - area.top) + "+" +
         std::to_string(area.left) + "+" + std::to_string(area.top);
}

void Shoot(const char* step, HWND window, HWND box) {
  Sleep(400);  // let the window finish painting
  const UnixSpawn spawn = reinterpret_cast<UnixSpawn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
  std::string path = g_folder + "/" + std::to_string(++g_shots) + "-" + step + ".png";
  std::string import = "import", window_flag = "-window", root = "root", crop = "-crop",
              geometry = Geometry(window, box), repage = "+repage";
  char* argv[] = {&import[0], &window_flag[0], &root[0], &crop[0], &geometry[0], &repage[0], &path[0], nullptr};
  if (spawn == nullptr || spawn(argv, 1) != 0) {
    fprintf(stderr, "could not save %s\n", path.c_str());
    return;
  }
  printf("%s\n", path.c_str());
  fflush(stdout);
}

bool IsOutcome(const std::wstring& status) {
  for (unsigned code = 0; code < kOutcomeCount; ++code) {
    if (status == OutcomeMessage(code)) return true;
  }
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: demo_walkthrough PROGRAM.exe CODE OUTPUT_FOLDER\n");
    return 2;
  }
  g_folder = Utf8(argv[3]);
  ProductProcess product;
  if (!StartProduct(argv[1], L"", &product)) {
    fprintf(stderr, "the window did not appear\n");
    return 1;
  }
  HWND status = ControlAt(product.window, kStatus);
  SetText(ControlAt(product.window, kCodeField), argv[2]);
  Shoot("code-pasted", product.window, nullptr);

  Click(ControlAt(product.window, kJoin));
  bool shot_progress = false;
  const bool ended = WaitUntil(
      [&] {
        if (HWND box = FindMessageBox(product)) {
          Shoot("prompt", product.window, box);
          AnswerMessageBox(box, IDYES);
          WaitUntil([&] { return FindMessageBox(product) != box; }, 10000);
          return false;
        }
        const std::wstring shown = TextOf(status);
        if (!shot_progress && (shown == kProgressDependencies || shown == kProgressWslInstaller)) {
          shot_progress = true;
          Shoot("progress", product.window, nullptr);
        }
        return IsOutcome(shown) && IsWindowEnabled(ControlAt(product.window, kJoin));
      },
      600000);
  if (ended) Shoot("outcome", product.window, nullptr);
  StopProduct(&product);
  return ended ? 0 : 1;
}
