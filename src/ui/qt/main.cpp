// The desktop program `ambrelic`: the application object, then MainApp.
#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/text.h"
#include "ui/qt/command_line.h"
#include "ui/qt/file_icons.h"
#include "ui/qt/main_app.h"

int main(int argc, char** argv) {
  // Help and the version need no display (Qt would refuse to start without one).
  if (std::string text; ambrelic::ui::qt::AnswerWithoutWindow(argc, argv, text)) {
    std::fputs(text.c_str(), stdout);
    return 0;
  }
  using ambrelic::ui::qt::SplitOwnOptions;
  ambrelic::ui::qt::SplitArguments split = SplitOwnOptions(argc, argv);
  int qtArgc = static_cast<int>(split.forQt.size());
  split.forQt.push_back(nullptr);
  QApplication app(qtArgc, split.forQt.data());
  QApplication::setApplicationName(QStringLiteral("Ambrelic"));
  QApplication::setApplicationVersion(QStringLiteral(AMBRELIC_VERSION_TEXT_MAIN));
  QApplication::setDesktopFileName(QStringLiteral("ambrelic"));
  QApplication::setWindowIcon(ambrelic::ui::qt::ApplicationIcon());
  ambrelic::platform::InitLocale();

  // QApplication has taken its own options out of what it was given; the
  // options set aside for this program come first (they are no sources, so
  // the order of the sources is kept).
  std::vector<std::string> args = std::move(split.ours);
  for (int i = 1; i < qtArgc; ++i) args.emplace_back(split.forQt[static_cast<std::size_t>(i)]);
  return ambrelic::ui::qt::MainApp(std::move(args)).Run();
}
