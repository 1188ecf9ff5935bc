#pragma once
// The Qt Test classes of the window register themselves here; GuiTestMain runs them all.

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

using TGuiTestFactory = std::function<std::unique_ptr<QObject>()>;
std::vector<TGuiTestFactory>& GuiTestClasses();

struct TGuiTestRegistration {
    explicit TGuiTestRegistration(TGuiTestFactory factory) { GuiTestClasses().push_back(std::move(factory)); }
};

#define GUI_TEST_CLASS(T)                                                                                    \
    static TGuiTestRegistration T##Registration([] { return std::unique_ptr<QObject>(new T); });
