// The real program's device-change source: kernel uevents read through the socket notifier on the
// GUI thread, one call of the listener per event. Firing uevents needs root; the "mem" subsystem
// gives a harmless device to fire them on.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QTest>

#include <chrono>
#include <fstream>

#include "GuiTests.h"
#include "app/QtDeviceChangeSource.h"
#include "support/UeventLock.h"
#include "usb/HIDinterface.h"

namespace {

const char* const NullUevent = "/sys/devices/virtual/mem/null/uevent";

bool FireUevent() {
    std::ofstream out(NullUevent);
    out << "change\n";
    return bool(out);
}

} // namespace

class TDeviceChangeSourceTest : public QObject {
    Q_OBJECT

private slots:
    void init() { ResetDeviceChangeState(); }
    void cleanup() { ResetDeviceChangeState(); }

    void EachUeventCallsTheHandlerOnce();
};

void TDeviceChangeSourceTest::EachUeventCallsTheHandlerOnce() {
    if (::geteuid() != 0) QSKIP("firing uevents needs root");
    if (::access(NullUevent, W_OK) != 0) QSKIP("the uevent file of /dev/null is not writable");
    TUeventLock lock;
    if (!lock.Held()) QSKIP("another test process kept the uevent lock");
    TUSBhandler listener;
    TQtDeviceChangeSource source("mem", "kernel");
    if (!source.Ok()) QSKIP("no kernel netlink monitor could be created");
    QTest::qWait(50); // whatever came before the test
    const int before = source.EventsDelivered();

    int calls = 0;
    SetDeviceChangeHandler([&calls] { ++calls; });
    QVERIFY(FireUevent());
    QTRY_COMPARE_WITH_TIMEOUT(source.EventsDelivered(), before + 1, 5000);
    QCOMPARE(calls, 1);
    QVERIFY(FireUevent());
    QVERIFY(FireUevent());
    QTRY_COMPARE_WITH_TIMEOUT(source.EventsDelivered(), before + 3, 5000);
    QCOMPARE(calls, 3);

    // An empty slot: the events are still taken from the socket, and nothing is called.
    SetDeviceChangeHandler(nullptr);
    QVERIFY(FireUevent());
    QTRY_COMPARE_WITH_TIMEOUT(source.EventsDelivered(), before + 4, 5000);
    QTest::qWait(50);
    QCOMPARE(calls, 3);
}

GUI_TEST_CLASS(TDeviceChangeSourceTest)
#include "DeviceChangeSourceTest.moc"
