#pragma once
// The Qt side of the host hooks that are not tied to one window: one pass of pending-message
// handling, and the wakeup that brings queued device-change notifications onto the GUI thread.

class QString;
class QWidget;

// The host's yes/no question: a modal box with Yes and No over parent, No the default (Enter and
// Escape answer No). True for Yes.
bool QtAskYesNo(QWidget* parent, const QString& text);

// QCoreApplication::processEvents() once, then the device-change notifications still queued.
void QtProcessMessages();
// Every notification queued with PostDeviceChange (from any thread) posts a queued call of
// DispatchDeviceChanges to the GUI thread's event loop.
void InstallQtDeviceChangeWakeup();
void RemoveQtDeviceChangeWakeup();
