#include "web/WebHostHooks.h"

#include <emscripten.h>

#include "boot/HostHooks.h"

// clang-format off
EM_JS(void, qf_js_call, (const char* name, const char* text), {
    const f = Module[UTF8ToString(name)];
    if (f) f(text ? UTF8ToString(text) : undefined);
});
EM_JS(void, qf_js_number, (const char* name, double value), {
    const f = Module[UTF8ToString(name)];
    if (f) f(value);
});
// The page's Yes/No question; the run waits for the answer. No hook on the page means No.
EM_ASYNC_JS(int, qf_js_ask, (const char* text), {
    return Module.onAsk ? ((await Module.onAsk(UTF8ToString(text))) ? 1 : 0) : 0;
});
// clang-format on

void InstallWebHostHooks() {
    THostHooks hooks;
    hooks.appendLogLine = [](const std::string& line) { qf_js_call("onLog", line.c_str()); };
    hooks.clearLog = [] { qf_js_call("onClearLog", nullptr); };
    hooks.setProgressMax = [](int64_t max) { qf_js_number("onProgressMax", double(max)); };
    hooks.setProgressPos = [](int64_t pos) { qf_js_number("onProgress", double(pos)); };
    // Every pause already hands the browser its event loop.
    hooks.processMessages = [] {};
    hooks.showMessage = [](const std::string& text) { qf_js_call("onMessage", text.c_str()); };
    hooks.askYesNo = [](const std::string& text) { return qf_js_ask(text.c_str()) != 0; };
    hooks.sessionConnected = [] { qf_js_call("onConnected", nullptr); };
    SetHostHooks(hooks);
}
