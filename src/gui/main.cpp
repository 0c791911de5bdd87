// brenix-gui: the desktop face of Brenix Photo Recovery.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>

#include "common/version.h"
#include "disk/device_table.h"
#include "gui/app_context.h"
#include "gui/home_view.h"
#include "gui/main_frame.h"
#include "gui/messages.h"
#include "gui/results_page.h"
#include "gui/tool_pages.h"

int main(int argc, char** argv) {
  using namespace brenix::gui;
  QApplication qapp(argc, argv);
  QApplication::setOrganizationName(QString::fromLatin1(kSettingsOrganisation));
  QApplication::setApplicationName(QString::fromLatin1(kSettingsApplication));
  QApplication::setApplicationDisplayName(QString::fromLatin1(kWindowTitle));
  QApplication::setApplicationVersion(QString::fromStdString(brenix::versionText()));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Find and recover deleted photos and files."));
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption image(QStringLiteral("image"), QStringLiteral("Attach a disk image file as a drive (repeatable)."),
                           QStringLiteral("path"));
  QCommandLineOption imagesOnly(QStringLiteral("images-only"), QStringLiteral("List only attached disk images."));
  QCommandLineOption page(QStringLiteral("page"),
                          QStringLiteral("Open a page at start: deleted, formatted, raw, rescue, outlook, "
                                         "outlook-express."),
                          QStringLiteral("name"));
  QCommandLineOption smoke(QStringLiteral("quit-after-start"),
                           QStringLiteral("Show the window, then quit once the event loop runs (start-up check)."));
  parser.addOptions({image, imagesOnly, page, smoke});
  parser.process(qapp);

  auto& table = brenix::DeviceTable::instance();
  if (parser.isSet(imagesOnly)) table.setIncludeSystemDisks(false);
  for (const QString& path : parser.values(image)) {
    std::string error;
    if (table.attachImage(path.toStdString(), &error) < 0) {
      std::fprintf(stderr, "brenix-gui: %s\n", error.c_str());
      return 2;
    }
  }

  AppContext app;
  registerToolPages(app);
  MainFrame frame(app);
  registerResultsPages(*frame.homeView());
  frame.show();

  const QString start = parser.value(page);
  if (start == QLatin1String("deleted")) frame.homeView()->navigate(kPageDrive, kModeDeleted);
  else if (start == QLatin1String("formatted")) frame.homeView()->navigate(kPageDrive, kModeFormatted);
  else if (start == QLatin1String("raw")) frame.homeView()->navigate(kPageDrive, kModeRaw);
  else if (start == QLatin1String("rescue")) frame.homeView()->navigate(kPageTask, kModeRescue);
  else if (start == QLatin1String("outlook")) frame.homeView()->navigate(kPageOutlookRepair, 0);
  else if (start == QLatin1String("outlook-express")) frame.homeView()->navigate(kPageOutlookExpressRepair, 0);
  else if (!start.isEmpty()) {
    std::fprintf(stderr, "brenix-gui: unknown page '%s'\n", start.toLocal8Bit().constData());
    return 2;
  }

  if (parser.isSet(smoke)) QTimer::singleShot(0, &qapp, &QCoreApplication::quit);
  return QApplication::exec();
}
