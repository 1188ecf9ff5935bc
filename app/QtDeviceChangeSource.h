#pragma once
// Device-change notifications from the system: a udev monitor whose fd is watched by a socket
// notifier on the GUI thread. Every event received calls the listener once.

#include <QObject>

#include <memory>
#include <string>

class QSocketNotifier;
class TDeviceMonitor;

class TQtDeviceChangeSource : public QObject {
    Q_OBJECT

public:
    // source as for TDeviceMonitor: "udev", "kernel", or empty for the one that suits the system.
    explicit TQtDeviceChangeSource(const std::string& subsystem = "hidraw", const std::string& source = "",
                                   QObject* parent = nullptr);
    ~TQtDeviceChangeSource() override;

    // False when no monitor could be opened; the program then never hears of a new device.
    bool Ok() const;
    int EventsDelivered() const { return m_delivered; }

private:
    void SocketActivated();

    std::unique_ptr<TDeviceMonitor> m_monitor;
    QSocketNotifier* m_notifier = nullptr;
    int m_delivered = 0;
};
