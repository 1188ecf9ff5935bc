// quarnel: the command-line flasher. Parses the command line and hands over to the commands.

#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/BashCompletion.h"
#include "cli/BoardFarm.h"
#include "cli/CliOptions.h"
#include "cli/CliPlatform.h"
#include "cli/FlashSession.h"
#include "cli/OutputGuard.h"
#include "cli/ProductionChecks.h"
#include "cli/Station.h"
#include "platform/ProgramVersion.h"
#include "usb/HidLocale.h"

namespace {

const char* const ExitCodesText =
    "Exit codes: 0 done (info: connected), 1 usage error or output not written, 2 no bootloader or\n"
    "connection failed, 3 HEX file refused, 4 communication failure during the run (the final command\n"
    "included), 5 the virtual target (--simulate) does not hold the image or saw the protocol broken.";

struct TRawOptions {
    std::string vid;
    std::string pid;
    double wait = 0;
};

void AddIdOptions(CLI::App* cmd, TRawOptions& raw) {
    cmd->add_option("--vid", raw.vid, "USB vendor ID of the bootloader, hex (default 3930)")
        ->type_name("HEX");
    cmd->add_option("--pid", raw.pid, "USB product ID of the bootloader, hex (default 2021)")
        ->type_name("HEX");
}

void AddSimOptions(CLI::App* cmd, TCliOptions& o) {
    cmd->add_option("--simulate", o.simulate,
                    "use a virtual target instead of hardware: pic16, pic18, pic18fj, pic24, dspic, pic32")
        ->type_name("FAMILY");
    cmd->add_option("--sim", o.sim,
                    "virtual target settings KEY=VALUE[,...]: boot-start, erase-block, write-block, "
                    "flash-size, revision, descriptor, latency-ms, serial, manufacturer, product, "
                    "drop-answer=N, wrong-echo=N, stop-writes=N, unplug-at=N, corrupt-at=N, duplicate-answer=N (N counts received "
                    "reports from 1), plug-after-ms=MS")
        ->type_name("KEY=VALUE[,...]")
        ->allow_extra_args(false);
    cmd->add_option("--boards", o.boards, "number of virtual targets, at paths sim:1..sim:N (default 1)")
        ->type_name("N");
    cmd->add_option("--board-sim", o.boardSim, "settings for virtual target N only: N:KEY=VALUE[,...]")
        ->type_name("N:KEY=VALUE[,...]")
        ->allow_extra_args(false);
}

void AddTargetOptions(CLI::App* cmd, TCliOptions& o, TRawOptions& raw, CLI::Option*& waitOption) {
    AddIdOptions(cmd, raw);
    waitOption =
        cmd->add_option("-w,--wait", raw.wait,
                        "wait up to SECONDS for the bootloader to appear (reset the board meanwhile)")
            ->type_name("SECONDS");
    cmd->add_option("-p,--path", o.path, "use only the bootloader at this device path")->type_name("PATH");
    cmd->add_option("-s,--serial", o.serial,
                    "use only the bootloader with this serial number (--- for one without)")
        ->type_name("SERIAL");
    AddSimOptions(cmd, o);
    cmd->add_flag("-j,--json", o.json, "JSON Lines on stdout instead of the log");
    cmd->add_flag("-q,--quiet", o.quiet, "print only failure lines and the one-line summary");
    cmd->add_flag("-v,--verbose", o.verbose, "also one line per erase and write command on stderr");
}

// The options of a production line, for flash and station.
void AddProductionOptions(CLI::App* cmd, TCliOptions& o) {
    cmd->add_option("--record", o.record, "append one JSON line per board to FILE (time, board, serial, "
                                          "target, file and its SHA-256, result, duration)")
        ->type_name("FILE");
    cmd->add_option("--sha256", o.sha256, "refuse the file unless its SHA-256 is HEX (exit 3, no board touched)")
        ->type_name("HEX");
    cmd->add_option("--expect-family", o.expectFamily,
                    "refuse a board of another family, untouched (exit 2): pic16, pic18, pic18fj, pic24, "
                    "dspic, pic32")
        ->type_name("FAMILY");
    cmd->add_option("--expect-descriptor", o.expectDescriptor,
                    "refuse a board whose descriptor text differs, untouched (exit 2)")
        ->type_name("TEXT");
}

// What flash and station do with the file.
void AddFileOptions(CLI::App* cmd, TCliOptions& o) {
    cmd->add_flag("-d,--disable-bootloader", o.disableBootloader, "disable the bootloader after flashing");
    cmd->add_flag("--ignore-checksums", o.ignoreChecksums,
                  "flash a file whose records have wrong checksums (refused by default)");
    cmd->add_flag("--strict", o.strict,
                  "refuse a file with lines that are no records or data inside the target's flash that "
                  "would not be written");
}

void AddFileArgument(CLI::App* cmd, TCliOptions& o, const char* text) {
    // Without a description of its own the file check would add a second "FILE" to the help.
    cmd->add_option("file", o.file, text)
        ->required()
        ->check(CLI::Validator(CheckHexFileArgument, ""))
        ->type_name("FILE");
}

// The short usage before "A subcommand is required", separated from it by an empty line.
std::string FailureText(const CLI::App* app, const CLI::Error& e) {
    std::string text = CLI::FailureMessage::simple(app, e);
    if (app->get_parent() == nullptr && std::string(e.what()) == "A subcommand is required")
        text = std::string("Usage: quarnel [OPTIONS] SUBCOMMAND\nSubcommands: list, info, flash, station, erase") +
               (SystemHasUdev() ? ", udev-rule" : "") + "\n\n" + text;
    return text;
}

} // namespace

int QuarnelMain(int argc, char** argv) {
    // Device strings arrive in UTF-8; numbers keep their '.' (only LC_CTYPE is set).
    UseUtf8CharacterType();
    CLI::App app{"quarnel - flashes microcontrollers (PIC16, PIC18, PIC18FJ, PIC24, dsPIC, PIC32) through "
                 "their USB-HID bootloader."};
    // "/name" is a file name, not an option, on every system (before the subcommands, which inherit it).
    app.allow_windows_style_options(false);
    app.footer(ExitCodesText);
    app.require_subcommand(1);
    app.failure_message(FailureText);
    std::string version = VersionText("quarnel", ProgramVersion(), nullptr);
    version.pop_back(); // CLI11 ends the text with its own line break
    app.set_version_flag("-V,--version", version, "print the version and that of hidapi, then exit");

    TCliOptions o;
    TRawOptions raw;

    CLI::App* list = app.add_subcommand("list", "list the attached HID devices");
    list->add_flag("--bootloaders", o.bootloadersOnly, "only devices with the bootloader's VID and PID");
    list->add_option("--vid", raw.vid, "USB vendor ID of the bootloader, hex (default 3930)")
        ->type_name("HEX");
    list->add_option("--pid", raw.pid, "USB product ID of the bootloader, hex (default 2021)")
        ->type_name("HEX");
    list->add_option("--simulate", o.simulate, "list virtual targets of this family instead")
        ->type_name("FAMILY");
    list->add_option("--sim", o.sim, "virtual target settings")
        ->type_name("KEY=VALUE[,...]")
        ->allow_extra_args(false);
    list->add_option("--boards", o.boards, "number of virtual targets (default 1)")->type_name("N");
    list->add_option("--board-sim", o.boardSim, "settings for virtual target N only: N:KEY=VALUE[,...]")
        ->type_name("N:KEY=VALUE[,...]")
        ->allow_extra_args(false);
    list->add_flag("-j,--json", o.json, "one JSON object per device");

    CLI::App* info = app.add_subcommand("info", "connect to the bootloader and describe the target");
    info->footer(ExitCodesText);
    CLI::Option* infoWait = nullptr;
    AddTargetOptions(info, o, raw, infoWait);
    info->add_flag("--real-time", o.realTime, "run the virtual target on the real clock");

    CLI::App* flash = app.add_subcommand("flash", "flash an Intel HEX file into the target");
    flash->footer(ExitCodesText);
    AddFileArgument(flash, o, "Intel HEX file, or - to read it from standard input");
    CLI::Option* flashWait = nullptr;
    AddTargetOptions(flash, o, raw, flashWait);
    AddFileOptions(flash, o);
    AddProductionOptions(flash, o);
    flash->add_option("--trace", o.trace, "write every report sent and received to FILE")->type_name("FILE");
    flash
        ->add_option("--sim-dump", o.simDump,
                     "write the virtual target's flash to PREFIX-flash.bin (PIC32 also PREFIX-boot.bin)")
        ->type_name("PREFIX");
    flash->add_flag("--real-time", o.realTime, "run the virtual target on the real clock (with its pauses)");
    flash->add_flag("--all", o.all, "flash every attached bootloader in parallel, one process per board");

    CLI::App* station = app.add_subcommand(
        "station", "flash every bootloader that arrives, each once while it stays, until Ctrl-C");
    station->footer(ExitCodesText);
    AddFileArgument(station, o, "Intel HEX file");
    AddIdOptions(station, raw);
    AddSimOptions(station, o);
    station->add_flag("-j,--json", o.json, "JSON Lines on stdout: every board's events, a line per board");
    station->add_flag("-q,--quiet", o.quiet, "print only the lines of boards that failed and the summary");
    AddFileOptions(station, o);
    AddProductionOptions(station, o);
    station->add_option("--parallel", o.parallel, "flash up to N boards at once (default 1)")->type_name("N");
    station->add_option("--count", o.count, "stop after N boards")->type_name("N");
    station->add_option("--stop-after-failures", o.stopAfterFailures,
                        "stop after N boards that failed or were refused")
        ->type_name("N");
    station->add_flag("--real-time", o.realTime, "run the virtual targets on the real clock");

    CLI::App* erase = app.add_subcommand(
        "erase", "erase the application: the board keeps only its bootloader, which starts at reset");
    erase->footer(ExitCodesText);
    CLI::Option* eraseWait = nullptr;
    AddTargetOptions(erase, o, raw, eraseWait);
    erase
        ->add_option("--sim-dump", o.simDump,
                     "write the virtual target's flash to PREFIX-flash.bin (PIC32 also PREFIX-boot.bin)")
        ->type_name("PREFIX");

    // udev only where there is udev.
    CLI::App* udevRule = nullptr;
    std::string ruleVid;
    std::string rulePid;
    if (SystemHasUdev()) {
        udevRule = app.add_subcommand(
            "udev-rule", "print a udev rule that lets the logged-in user open the bootloader without root");
        udevRule->add_option("--vid", ruleVid, "USB vendor ID, hex (default 3930)")->type_name("HEX");
        udevRule->add_option("--pid", rulePid, "USB product ID, hex (default 2021)")->type_name("HEX");
    }

    // Hidden: prints the bash completion script, made from the options above (the build installs it).
    CLI::App* completion = app.add_subcommand("completion", "")->group("");
    std::string shell;
    completion->add_option("shell", shell, "shell")->required()->check(CLI::IsMember({"bash"}));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? ExitOk : ExitUsage;
    }

    if (completion->parsed()) {
        std::fputs(BashCompletionScript(app).c_str(), stdout);
        return ExitOk;
    }
    if (udevRule != nullptr && udevRule->parsed()) {
        uint16_t vid = 0x3930;
        uint16_t pid = 0x2021;
        if ((!ruleVid.empty() && !ParseHexId(ruleVid, vid)) || (!rulePid.empty() && !ParseHexId(rulePid, pid))) {
            std::fprintf(stderr, "quarnel: --vid and --pid take a hexadecimal ID up to FFFF\n");
            return ExitUsage;
        }
        std::fputs(UdevRuleText(vid, pid).c_str(), stdout);
        int outError = 0;
        FlushOutput(stdout, outError);
        return FailedWrite(ExitOk, "standard output", outError);
    }
    o.command = list->parsed()      ? TCommand::List
                : info->parsed()    ? TCommand::Info
                : erase->parsed()   ? TCommand::Erase
                : station->parsed() ? TCommand::Station
                                    : TCommand::Flash;
    if ((infoWait != nullptr && infoWait->count() > 0) || (flashWait != nullptr && flashWait->count() > 0) ||
        (eraseWait != nullptr && eraseWait->count() > 0))
        o.waitSeconds = raw.wait;
    if ((!raw.vid.empty() && !ParseHexId(raw.vid, o.vid)) ||
        (!raw.pid.empty() && !ParseHexId(raw.pid, o.pid))) {
        std::fprintf(stderr, "quarnel: --vid and --pid take a hexadecimal ID up to FFFF\n");
        return ExitUsage;
    }
    std::string error;
    if (!ValidateOptions(o, error)) {
        std::fprintf(stderr, "quarnel: %s\nRun with --help for more information.\n", error.c_str());
        return ExitUsage;
    }
    if (!FileHashExpected(o, error)) {
        // Before any board is looked at.
        std::fprintf(stderr, "quarnel: %s; no board was touched (exit %d)\n", error.c_str(), ExitFileRefused);
        return ExitFileRefused;
    }
    switch (o.command) {
    case TCommand::Station:
        return RunStation(o, SelfPath(argv[0]));
    case TCommand::List:
        return RunList(o);
    case TCommand::Info:
    case TCommand::Erase:
        return RunSession(o);
    case TCommand::Flash:
        return o.all ? RunAllBoards(o, SelfPath(argv[0])) : RunSession(o);
    }
    return ExitUsage;
}
