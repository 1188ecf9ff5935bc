#include "app/QtDeviceChangeSource.h"

#include <QSocketNotifier>

#include "platform/TDeviceMonitor.h"
#include "usb/HIDinterface.h"

TQtDeviceChangeSource::TQtDeviceChangeSource(const std::string& subsystem, const std::string& source,
                                             QObject* parent)
    : QObject(parent), m_monitor(std::make_unique<TDeviceMonitor>(subsystem, source)) {
    if (!m_monitor->Ok()) return;
    m_notifier = new QSocketNotifier(m_monitor->Fd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TQtDeviceChangeSource::SocketActivated);
}

TQtDeviceChangeSource::~TQtDeviceChangeSource() {
    // The notifier must not outlive the fd it watches.
    delete m_notifier;
    m_notifier = nullptr;
}

bool TQtDeviceChangeSource::Ok() const {
    return m_notifier != nullptr;
}

void TQtDeviceChangeSource::SocketActivated() {
    // The pass may open the file dialog, whose event loop could bring us back here: the fd stays
    // readable until drained, so drain first and deliver afterwards.
    const int events = m_monitor->Drain();
    for (int i = 0; i < events; ++i) {
        ++m_delivered;
        if (USBhandler != nullptr) USBhandler->DeviceChanged();
    }
}
