// Runs every registered test class of the window in one QApplication. Without a display the
// off-screen platform is used. "quarnel_app_tests TSessionTest [Qt Test options]" runs one class.

#include <QApplication>
#include <QFontDatabase>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <vector>

#include "GuiTests.h"

std::vector<TGuiTestFactory>& GuiTestClasses() {
    static std::vector<TGuiTestFactory> classes;
    return classes;
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // A layout run for a face this machine lacks would only repeat the default face's.
    const QString face = qEnvironmentVariable("QUARNEL_LAYOUT_FACE");
    if (!face.isEmpty() && !QFontDatabase::hasFamily(face)) {
        std::fprintf(stderr, "%s is not installed: layout run skipped\n", qPrintable(face));
        return 77;
    }
    const char* only = argc > 1 && argv[1][0] == 'T' ? argv[1] : nullptr;
    std::vector<char*> args(argv, argv + argc);
    if (only) args.erase(args.begin() + 1);
    int failed = 0;
    int run = 0;
    for (const TGuiTestFactory& factory : GuiTestClasses()) {
        std::unique_ptr<QObject> tests = factory();
        if (only && std::strcmp(tests->metaObject()->className(), only) != 0) continue;
        ++run;
        failed += QTest::qExec(tests.get(), int(args.size()), args.data());
    }
    if (run == 0) return 2;
    return failed == 0 ? 0 : 1;
}
