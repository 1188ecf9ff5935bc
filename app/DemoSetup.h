#pragma once
// What the demo is started with: the family of its virtual board, the board's settings and faults
// (the command-line flasher's --sim keys), the image to start with, and where the example images
// are: installed beside the program (share/quarnel-flash/examples) or, in a build, in the sources.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/TSimSettings.h"

struct TDemoOptions {
    std::string family = "pic18";
    QString image;                // empty: the stored image, or the family's example
    QString screenshotDir;        // non-empty: take the documentation's pictures and quit
    std::vector<std::string> sim; // each "KEY=VALUE[,KEY=VALUE...]"
};

// quarnel-flash-demo [FAMILY] [--image FILE] [--sim KEY=VALUE,...]... [--screenshots DIR]
bool ParseDemoOptions(const QStringList& args, TDemoOptions& options, QString& error);
const char* DemoUsage();

// The window's title with "DEMO" in it, so that the demo is never taken for the real program.
QString DemoWindowTitle(const QString& title);

// The virtual board: the family's profile with every --sim list applied in order.
bool BuildDemoBoard(const TDemoOptions& options, TSimBoardSetup& board, std::string& error);

// The examples folder for a program file: the source tree's for a program in the build tree, else
// the one installed beside the program, else the one of the configured install prefix, else the
// source tree's. Empty when none exists.
std::string DemoExamplesFolder(const std::string& programPath);
// The example image of a family group in that folder ("" for a family without one).
std::string DemoExampleFor(uint8_t family, const std::string& examplesFolder);
