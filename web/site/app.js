// The page: the controls of the window around the wasm core. Every call into the core goes through
// one queue, since a run that pauses (Asyncify) must not be entered a second time.
"use strict";

(() => {
    const $ = (id) => document.getElementById(id);
    const params = new URLSearchParams(location.search);
    const Result = { 1: "flashed", 2: "refused", 3: "refused", 4: "failed", 5: "failed", 6: "failed" };
    const state = { module: null, hid: null, demo: null, file: null, busy: false, flashed: false };

    let queue = Promise.resolve();
    // Runs fn after every call queued before it; returns its result.
    const serial = (fn) => {
        const next = queue.then(fn);
        queue = next.catch(() => {});
        return next;
    };
    const call = (name, ret, types, args) =>
        serial(() => state.module.ccall(name, ret, types, args, { async: true }));

    // --- log, progress, result ---
    const log = $("log");
    const logLine = (line) => {
        log.textContent += line + "\n";
        log.scrollTop = log.scrollHeight;
    };
    const setResult = (result) => {
        document.body.dataset.result = result;
        $("result").textContent = result;
    };
    // A message box, as the window's: the log keeps only the core's lines.
    const showMessage = (text) => {
        $("message-text").textContent = text;
        if (!$("message").open) $("message").showModal();
    };
    // Yes/No with No the default (focused, and the answer to Escape).
    const ask = (text) => new Promise((resolve) => {
        const d = $("ask");
        $("ask-text").textContent = text;
        d.returnValue = "no";
        d.addEventListener("close", () => resolve(d.returnValue === "yes"), { once: true });
        d.showModal();
        d.querySelector("button[value=no]").focus();
    });

    const refresh = () => {
        const active = state.module && state.module.ccall("qf_bootloader_active", "number", [], []) === 1;
        if (active) state.target = state.module.ccall("qf_target", "string", [], []);
        const none = state.demo ? "Virtual board: no target in boot load mode." : "No target in boot load mode.";
        $("target").textContent = active ? state.target
                                         : state.target ? state.target + " (session closed: Reset connects again)" : none;
        $("flash").disabled = state.busy || !active || !state.file;
        for (const id of ["connect", "reset", "demo-start", "disable", "vid", "pid"]) $(id).disabled = state.busy;
    };

    // --- VID/PID, kept between visits ---
    const hexId = (value, fallback) => (/^[0-9a-fA-F]{1,4}$/.test(value) ? parseInt(value, 16) : fallback);
    const ids = () => ({ vid: hexId($("vid").value, 0x3930), pid: hexId($("pid").value, 0x2021) });
    $("vid").value = localStorage.getItem("quarnel.vid") || "3930";
    $("pid").value = localStorage.getItem("quarnel.pid") || "2021";
    for (const id of ["vid", "pid"])
        $(id).addEventListener("change", () => localStorage.setItem("quarnel." + id, $(id).value.toUpperCase()));

    // --- sessions ---
    const start = async (demo, settings) => {
        state.demo = demo;
        state.target = "";
        log.textContent = "";
        setResult("");
        const { vid, pid } = ids();
        const r = await call("qf_session_start", "number", ["number", "number", "string", "string"],
                             [vid, pid, demo || "", settings || ""]);
        if (r < 0) showMessage("Virtual board: " + state.module.ccall("qf_last_error", "string", [], []));
        refresh();
        return r;
    };
    const deviceChange = async () => {
        if (state.demo || !state.module) return;
        // After a run the session is closed: a board that comes back starts a new pass, as Reset does.
        await call(state.flashed ? "qf_reset" : "qf_device_change", "number", [], []);
        state.flashed = false;
        refresh();
    };
    const reset = async () => {
        if (state.demo) return start(state.demo, $("demo-settings").value);
        state.target = "";
        await call("qf_reset", "number", [], []);
        refresh();
    };

    // --- the file ---
    const setFile = (name, bytes, path) => {
        const FS = state.module.FS;
        const file = path || "/upload/" + name.replace(/[\/\\]/g, "_");
        FS.mkdirTree(file.substring(0, file.lastIndexOf("/")) || "/");
        FS.writeFile(file, bytes);
        state.file = file;
        $("file-name").textContent = name;
        refresh();
    };
    const takeFile = async (f) => setFile(f.name, new Uint8Array(await f.arrayBuffer()));
    $("file").addEventListener("change", (e) => { if (e.target.files[0]) takeFile(e.target.files[0]); });
    const drop = $("drop");
    drop.addEventListener("dragover", (e) => { e.preventDefault(); drop.classList.add("over"); });
    drop.addEventListener("dragleave", () => drop.classList.remove("over"));
    // A file dropped anywhere on the page is taken; the browser would otherwise open it instead.
    document.addEventListener("dragover", (e) => e.preventDefault());
    document.addEventListener("drop", (e) => {
        e.preventDefault();
        drop.classList.remove("over");
        if (e.dataTransfer.files[0]) takeFile(e.dataTransfer.files[0]);
    });

    // --- the run ---
    const flash = async () => {
        if (state.busy || !state.file) return;
        state.busy = true;
        setResult("");
        $("progress").value = 0;
        refresh();
        const started = performance.now();
        state.module.pauseLateMs = 0;
        const r = await call("qf_flash", "number", ["string", "number"], [state.file, $("disable").checked ? 1 : 0]);
        const ms = performance.now() - started;
        const floor = state.module.ccall("qf_flash_floor_ms", "number", [], []);
        state.busy = false;
        state.flashed = true;
        setResult(Result[r] || "failed");
        document.body.dataset.runMs = ms.toFixed(0);
        document.body.dataset.floorMs = floor.toFixed(0);
        // How late the pauses ended, together: the rest of the run's time over its floor is work.
        document.body.dataset.pauseLateMs = (state.module.pauseLateMs || 0).toFixed(0);
        refresh();
    };
    $("flash").addEventListener("click", flash);
    $("reset").addEventListener("click", reset);
    // The option goes on only after a Yes; off it goes at once.
    $("disable").addEventListener("click", async (e) => {
        const box = e.target;
        if (!box.checked) return;
        e.preventDefault();
        const yes = await ask("Disable the boot loader after flashing? The board then starts only " +
                              "its application, and cannot be flashed this way again.");
        box.checked = yes;
    });
    $("demo-start").addEventListener("click", () => start($("demo-family").value, $("demo-settings").value));
    $("connect").addEventListener("click", async () => {
        if (!state.hid) return showMessage("This browser has no WebHID: use a Chromium-based desktop browser.");
        const { vid, pid } = ids();
        let devices = [];
        try {
            devices = await navigator.hid.requestDevice({ filters: [{ vendorId: vid, productId: pid }] });
        } catch (e) {
            return showMessage("No board chosen: " + e.message);
        }
        for (const d of devices) state.hid.add(d);
        if (devices.length) await start(null, "");
    });

    // --- start-up ---
    const boot = async () => {
        const options = {
            onLog: logLine,
            onClearLog: () => { log.textContent = ""; },
            onProgressMax: (max) => { $("progress").max = Math.max(1, max); },
            onProgress: (pos) => { $("progress").value = pos; },
            onMessage: showMessage,
            onAsk: ask,
            onConnected: refresh,
        };
        if (navigator.hid) {
            state.hid = new QuarnelHid(navigator.hid);
            options.quarnelHid = state.hid;
            state.hid.onchange = deviceChange;
        }
        state.module = await QuarnelModule(options);
        $("support").textContent = navigator.hid ? "WebHID ready" : "No WebHID in this browser: only the demo runs";
        const demo = params.get("demo");
        if (demo) {
            $("demo-box").open = true;
            $("demo-family").value = demo;
            $("demo-settings").value = params.get("sim") || "";
            await start(demo, $("demo-settings").value);
        } else if (state.hid) {
            for (const d of await navigator.hid.getDevices()) state.hid.add(d);
            await start(null, "");
        } else {
            refresh();
        }
        const file = params.get("file");
        if (file) {
            const response = await fetch(file);
            if (response.ok) {
                setFile(file.split("/").pop(), new Uint8Array(await response.arrayBuffer()), "/" + file);
            } else {
                showMessage("Cannot load " + file + ": " + response.status);
            }
        }
        document.body.dataset.ready = "1";
        if (params.get("flash") === "1") {
            if ($("flash").disabled) setResult("failed");
            else await flash();
        }
    };
    boot();
})();
