#include "app/DemoSetup.h"

#include <sys/stat.h>

#include "boot/BL_Vars.h"

namespace {

bool IsFolder(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool StartsWithFolder(const std::string& path, const std::string& folder) {
    if (folder.empty()) return false;
    const std::string prefix = folder.back() == '/' ? folder : folder + "/";
    return path.rfind(prefix, 0) == 0;
}

std::string FolderOfProgram(const std::string& programPath) {
    const size_t slash = programPath.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : programPath.substr(0, slash);
}

} // namespace

const char* DemoUsage() {
    return "usage: quarnel-flash-demo [pic16|pic18|pic18fj|pic24|dspic|pic32] [--image FILE] "
           "[--sim KEY=VALUE,...]... [--screenshots DIR]";
}

bool ParseDemoOptions(const QStringList& args, TDemoOptions& options, QString& error) {
    bool familySeen = false;
    for (int i = 1; i < args.size(); ++i) {
        QString a = args[i];
        QString value;
        bool hasValue = false;
        // --sim=LIST as well as --sim LIST, as the command-line flasher takes them.
        if (a.startsWith("--") && a.contains('=')) {
            value = a.mid(a.indexOf('=') + 1);
            a = a.left(a.indexOf('='));
            hasValue = true;
        }
        if (a == "--image" || a == "--screenshots" || a == "--sim") {
            if (!hasValue) {
                if (i + 1 >= args.size()) {
                    error = a + " needs a value";
                    return false;
                }
                value = args[++i];
            }
            if (a == "--image")
                options.image = value;
            else if (a == "--screenshots")
                options.screenshotDir = value;
            else
                options.sim.push_back(value.toStdString());
        } else if (!hasValue && !a.startsWith("-") && !familySeen) {
            options.family = a.toStdString();
            familySeen = true;
        } else {
            error = "unexpected argument " + args[i];
            return false;
        }
    }
    return true;
}

bool BuildDemoBoard(const TDemoOptions& options, TSimBoardSetup& board, std::string& error) {
    board = TSimBoardSetup{};
    if (!SimProfileByName(options.family, board.profile)) {
        error = "unknown family " + options.family;
        return false;
    }
    for (const std::string& list : options.sim)
        if (!ApplySimSettings(board, list, error)) return false;
    return true;
}

std::string DemoExamplesFolder(const std::string& programPath) {
    const std::string source = QUARNEL_SOURCE_EXAMPLES;
    if (StartsWithFolder(programPath, QUARNEL_BUILD_DIR) && IsFolder(source)) return source;
    // <prefix>/bin/quarnel-flash-demo finds <prefix>/share/quarnel-flash/examples.
    const std::string bin = FolderOfProgram(programPath);
    const size_t up = bin.find_last_of('/');
    const std::string beside =
        (up == std::string::npos ? std::string(".") : bin.substr(0, up)) + "/share/quarnel-flash/examples";
    for (const std::string& folder : {beside, std::string(QUARNEL_INSTALLED_EXAMPLES), source})
        if (IsFolder(folder)) return folder;
    return "";
}

std::string DemoExampleFor(uint8_t family, const std::string& examplesFolder) {
    const char* file = nullptr;
    switch (family) {
    case FamPic16:
        file = "pic16/blink16.hex";
        break;
    case FamPic18:
    case FamPic18FJ:
        file = "pic18/blink18.hex";
        break;
    case FamPic24:
    case FamDsPic:
        file = "pic24/blink24.hex";
        break;
    case FamPic32:
        file = "pic32/blink32.hex";
        break;
    default:
        return "";
    }
    if (examplesFolder.empty()) return "";
    return examplesFolder + "/" + file;
}

QString DemoWindowTitle(const QString& title) {
    QString demo = title;
    const int at = demo.indexOf(':');
    demo.insert(at < 0 ? demo.size() : at, " DEMO");
    return demo;
}
