// The page: the steps of a flash around the wasm core. Every call into the core goes through one
// queue (serial): a run that pauses (Asyncify) must not be entered a second time, so nothing, not
// even a quick question such as "is a bootloader active?", calls the module outside it.
"use strict";

(() => {
    const $ = (id) => document.getElementById(id);
    const params = new URLSearchParams(location.search);
    const Result = { 1: "flashed", 2: "refused", 3: "refused", 4: "failed", 5: "failed", 6: "failed" };
    const state = {
        module: null, hid: null, demo: null, file: null, busy: false, flashed: false,
        active: false, target: "", board: null, manifest: null, build: null, buildFor: "",
    };
    // The single-file page carries the site's small files (the examples) by their relative path.
    const embedded = new Map(Object.entries(window.QuarnelEmbedded || {})
        .map(([name, text]) => [new URL(name, location.href).href, text]));

    let queue = Promise.resolve();
    // Runs fn after every call queued before it; returns its result.
    const serial = (fn) => {
        const next = queue.then(fn);
        queue = next.catch(() => {});
        return next;
    };
    const call = (name, ret, types = [], args = []) =>
        serial(() => state.module.ccall(name, ret, types, args, { async: true }));
    // Inside serial() only: the module is not running then.
    const now = (name, ret = "number", types = [], args = []) => state.module.ccall(name, ret, types, args);

    // --- log, notes, result ---
    const log = $("log");
    const logLine = (line) => {
        log.textContent += line + "\n";
        log.scrollTop = log.scrollHeight;
        // While a run goes on, its status lines (not the detail lines) name the stage it is in.
        if (state.busy && line && line[0] !== " ") $("stage").textContent = line.trim();
    };
    const Next = {
        flashed: "The board runs its new firmware once it leaves the bootloader (unplug or reset it). " +
                 "Next board: put it into its bootloader; it connects by itself, or click below.",
        failed: "The log says where the run stopped. Put the board into its bootloader again and click " +
                "below to try once more.",
        refused: "Nothing was written to the board. Choose a file made for this board.",
    };
    // The family a HEX file's addresses give away, if any: PIC32 program and boot flash (extended
    // linear addresses 1D00, 1FC0 and their cached 9D00, BFC0), PIC18 configuration (0030),
    // PIC24/dsPIC configuration (00F8).
    const Upper = { "1D00": "PIC32", "1FC0": "PIC32", "9D00": "PIC32", "BFC0": "PIC32",
                    "0030": "PIC18", "00F8": "PIC24" };
    const familyOf = (text) => {
        for (const m of text.matchAll(/^:02000004([0-9A-Fa-f]{4})/gm)) {
            if (Upper[m[1].toUpperCase()]) return Upper[m[1].toUpperCase()];
        }
        return "";
    };
    const setResult = (result) => {
        document.body.dataset.result = result;
        $("result").textContent = result;
        let next = Next[result] || "";
        const made = result === "refused" && state.file && state.board ? familyOf(state.fileText || "") : "";
        const board = state.board ? state.board.family.replace("FJ", "").replace("DSPIC", "PIC24") : "";
        if (made && made !== board) next = `This file is made for ${made}, not for this ${state.board.family} board. ` + next;
        $("next").textContent = next;
        $("again").hidden = !result;
    };
    // A message box, as the window's: the log keeps only the core's lines.
    const showMessage = (text) => {
        $("message-text").textContent = text;
        if (!$("message").open) $("message").showModal();
    };
    // Yes/No with No the default (focused, and the answer to Escape); detail is shown as code (a URL).
    const ask = (text, detail = "") => new Promise((resolve) => {
        const d = $("ask");
        $("ask-text").textContent = text;
        $("ask-detail").textContent = detail;
        $("ask-detail").parentElement.hidden = !detail;
        d.returnValue = "no";
        d.addEventListener("close", () => resolve(d.returnValue === "yes"), { once: true });
        d.showModal();
        d.querySelector("button[value=no]").focus();
    });
    const notice = (text) => {
        $("notice").textContent = text;
        $("notice").hidden = !text;
    };

    // What the page shows, from state alone: it never asks the module (query() does, in the queue).
    const refresh = () => {
        const none = state.demo ? "Virtual board: no target in boot load mode." : "No target in boot load mode.";
        $("target").textContent = state.active ? state.target
                                : state.target ? state.target + " (session closed: Reset connects again)" : none;
        $("flash").disabled = state.busy || !state.active || !state.file;
        for (const id of ["connect", "reset", "again", "demo-start", "disable", "vid", "pid"]) $(id).disabled = state.busy;
        const steps = { "step-connect": state.active || state.flashed, "step-board": state.active,
                        "step-firmware": !!state.file, "step-flash": !!document.body.dataset.result };
        for (const [id, done] of Object.entries(steps)) $(id).classList.toggle("done", done);
        document.body.dataset.busy = state.busy ? "1" : "";
    };
    const query = () => serial(() => {
        state.active = now("qf_bootloader_active") === 1;
        if (state.active) {
            state.target = now("qf_target", "string");
            state.board = { family: now("qf_target_field", "string", ["number"], [0]),
                            descriptor: now("qf_target_field", "string", ["number"], [1]),
                            bootStart: parseInt(now("qf_target_field", "string", ["number"], [2]), 16) };
        }
    }).then(refresh);

    // --- VID/PID, kept between visits ---
    const hexId = (value, fallback) => (/^[0-9a-fA-F]{1,4}$/.test(value) ? parseInt(value, 16) : fallback);
    const ids = () => ({ vid: hexId($("vid").value, 0x3930), pid: hexId($("pid").value, 0x2021) });
    $("vid").value = localStorage.getItem("quarnel.vid") || "3930";
    $("pid").value = localStorage.getItem("quarnel.pid") || "2021";
    for (const id of ["vid", "pid"])
        $(id).addEventListener("change", () => localStorage.setItem("quarnel." + id, $(id).value.toUpperCase()));

    // --- Linux: a board found that may not be opened needs the udev rule ---
    const hex4 = (n) => n.toString(16).padStart(4, "0");
    const showUdev = () => {
        const linux = /Linux/.test(navigator.platform) && !/Android|CrOS/.test(navigator.userAgent);
        const failed = state.hid && state.hid.openFailed && !state.active;
        $("udev").hidden = !(linux && failed);
        const { vid, pid } = ids();
        $("udev-rule").textContent = `KERNEL=="hidraw*", SUBSYSTEM=="hidraw", ATTRS{idVendor}=="${hex4(vid)}", ` +
                                     `ATTRS{idProduct}=="${hex4(pid)}", TAG+="uaccess"`;
    };
    const copy = async (text, where) => {
        try {
            await navigator.clipboard.writeText(text);
            where.textContent = "Copied.";
        } catch (e) {
            where.textContent = "Copying was not allowed: select the text and copy it.";
        }
    };
    $("udev-copy").addEventListener("click", () => copy($("udev-rule").textContent, $("log-note")));

    // --- sessions ---
    const start = async (demo, settings) => {
        state.demo = demo;
        state.target = "";
        state.active = false;
        if (state.hid) state.hid.openFailed = false;
        log.textContent = "";
        setResult("");
        const { vid, pid } = ids();
        const r = await call("qf_session_start", "number", ["number", "number", "string", "string"],
                             [vid, pid, demo || "", settings || ""]);
        if (r < 0) showMessage("Virtual board: " + (await serial(() => now("qf_last_error", "string"))));
        await connected();
        return r;
    };
    // After every connection pass: what the board is, and the manifest's build for it.
    const connected = async () => {
        await query();
        showUdev();
        await offerBuild();
    };
    const deviceChange = async () => {
        if (state.demo || !state.module) return;
        // After a run the session is closed: a board that comes back starts a new pass, as Reset does.
        const again = state.flashed;
        state.flashed = false;
        await call(again ? "qf_reset" : "qf_device_change", "number");
        await connected();
    };
    const reset = async () => {
        if (state.demo) return start(state.demo, $("demo-settings").value);
        state.target = "";
        state.flashed = false;
        setResult("");
        if (state.hid) state.hid.openFailed = false;
        await call("qf_reset", "number");
        await connected();
    };

    // --- fetching: the single file's own copies first, then the network ---
    const fetchBytes = async (url) => {
        if (embedded.has(url)) return new TextEncoder().encode(embedded.get(url));
        const response = await fetch(url);
        if (!response.ok) throw new Error("HTTP " + response.status);
        return new Uint8Array(await response.arrayBuffer());
    };
    const sameOrigin = (url) => url.origin === location.origin && url.protocol === location.protocol;
    // A URL from another site is shown and used only after a Yes.
    const allowed = async (url, what) => sameOrigin(url) ||
        ask("This link asks the page to use " + what + " from another site. Use it?", url.href);

    // --- the file ---
    const setFile = (name, bytes, note = "") => {
        if (state.busy) $("file-name").textContent = name + " (taken once this run ends)";
        // Queued: a run in progress keeps its file, the next run gets this one.
        return serial(() => {
            const FS = state.module.FS;
            const file = "/upload/" + name.replace(/[\/\\]/g, "_");
            FS.mkdirTree("/upload");
            FS.writeFile(file, bytes);
            state.file = file;
            state.fileText = new TextDecoder().decode(bytes);
            $("file-name").textContent = name + note;
        }).then(refresh);
    };
    const takeFile = async (f) => {
        state.build = null;
        return setFile(f.name, new Uint8Array(await f.arrayBuffer()));
    };
    $("file").addEventListener("change", (e) => { if (e.target.files[0]) takeFile(e.target.files[0]); });
    $("choose").addEventListener("click", () => $("file").click());
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
    const loadFileUrl = async (spec) => {
        const url = new URL(spec, location.href);
        if (!(await allowed(url, "the firmware file"))) {
            $("file-name").textContent = "Not used: " + url.href;
            return;
        }
        try {
            await setFile(url.pathname.split("/").pop(), await fetchBytes(url.href),
                          sameOrigin(url) ? "" : " (from " + url.host + ")");
        } catch (e) {
            showMessage("Cannot load " + url.href + ": " + e.message);
        }
    };

    // --- the firmware manifest: {name, version, builds: [{family, descriptor?, bootStart?, hex, sha256}]} ---
    const info = (text, refused = false) => {
        $("manifest-info").textContent = text;
        $("manifest-info").hidden = !text;
        $("manifest-info").classList.toggle("refused", refused);
    };
    const loadManifest = async (spec) => {
        const url = new URL(spec, location.href);
        if (!(await allowed(url, "a firmware list"))) return info("Firmware list not used: " + url.href);
        try {
            const m = JSON.parse(new TextDecoder().decode(await fetchBytes(url.href)));
            if (!m || !Array.isArray(m.builds)) throw new Error("it has no \"builds\" list");
            m.builds.forEach((b, i) => {
                if (!b.family || typeof b.hex !== "string" || !/^[0-9a-fA-F]{64}$/.test(b.sha256 || ""))
                    throw new Error("build " + (i + 1) + " needs family, hex and a SHA-256 of 64 hex digits");
            });
            state.manifest = { url, name: String(m.name || "Firmware"), version: String(m.version || ""), builds: m.builds };
            info(`${state.manifest.name} ${state.manifest.version}: connect a board to get the build for it.`);
        } catch (e) {
            info("The firmware list " + url.href + " cannot be used: " + e.message, true);
        }
    };
    // The most specific build whose family, descriptor text (part of the board's descriptor) and boot
    // start all fit the board.
    const pickBuild = (builds, board) => {
        const fits = (b) => [].concat(b.family).some((f) => String(f).toUpperCase() === board.family.toUpperCase()) &&
            (b.descriptor === undefined || board.descriptor.includes(b.descriptor)) &&
            (b.bootStart === undefined || Number(b.bootStart) === board.bootStart);
        const weight = (b) => (b.descriptor !== undefined) + (b.bootStart !== undefined);
        return builds.filter(fits).sort((a, b) => weight(b) - weight(a))[0] || null;
    };
    const hexDigest = async (bytes) => Array.from(new Uint8Array(await crypto.subtle.digest("SHA-256", bytes)),
                                                (b) => b.toString(16).padStart(2, "0")).join("");
    const offerBuild = async () => {
        const m = state.manifest;
        if (!m || !state.active) return;
        const board = state.board;
        const key = [board.family, board.descriptor, board.bootStart].join("|");
        if (state.buildFor === key) return;
        state.buildFor = key;
        const title = `${m.name} ${m.version}`.trim();
        const build = pickBuild(m.builds, board);
        if (!build) {
            return info(`No build of ${title} fits this board (${board.family}, boot start 0x` +
                        `${board.bootStart.toString(16).toUpperCase()}${board.descriptor ? ", \"" + board.descriptor + "\"" : ""}).`, true);
        }
        const url = new URL(build.hex, m.url);
        try {
            const bytes = await fetchBytes(url.href);
            if ((await hexDigest(bytes)) !== build.sha256.toLowerCase()) {
                return info(`Refused: ${url.href} does not have the SHA-256 that ${title} gives for it.`, true);
            }
            state.build = build;
            info(`${title} for ${board.family}: ${url.pathname.split("/").pop()} (SHA-256 checked).`);
            await setFile(url.pathname.split("/").pop(), bytes);
        } catch (e) {
            info("Cannot load " + url.href + ": " + e.message, true);
        }
    };

    // --- the run ---
    const flash = async () => {
        if (state.busy || !state.file) return;
        state.busy = true;
        setResult("");
        $("progress").value = 0;
        $("percent").textContent = "0 %";
        $("stage").textContent = "";
        refresh();
        const started = performance.now();
        state.module.pauseLateMs = 0;
        const r = await call("qf_flash", "number", ["string", "number"], [state.file, $("disable").checked ? 1 : 0]);
        const ms = performance.now() - started;
        const floor = await serial(() => now("qf_flash_floor_ms"));
        state.busy = false;
        state.flashed = true;
        state.active = false;
        document.body.dataset.runMs = ms.toFixed(0);
        document.body.dataset.floorMs = floor.toFixed(0);
        // How late the pauses ended, together: the rest of the run's time over its floor is work.
        document.body.dataset.pauseLateMs = (state.module.pauseLateMs || 0).toFixed(0);
        await query();
        $("percent").textContent = "";
        setResult(Result[r] || "failed");
        refresh();
    };
    $("flash").addEventListener("click", flash);
    $("reset").addEventListener("click", reset);
    $("again").addEventListener("click", reset);
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

    // --- what this browser can do ---
    const support = !window.isSecureContext
        ? "WebHID needs HTTPS or localhost: this page came over plain http, so only the demo runs."
        : !navigator.hid ? "This browser has no WebHID: use a Chromium-based desktop browser. Only the demo runs."
        : "WebHID ready";
    $("connect").addEventListener("click", async () => {
        if (!state.hid) return showMessage(support);
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

    // --- the log: copy, and save as quarnel-<time>.log ---
    $("log-copy").addEventListener("click", () => copy(log.textContent, $("log-note")));
    $("log-save").addEventListener("click", () => {
        const t = new Date();
        const two = (n) => String(n).padStart(2, "0");
        const a = document.createElement("a");
        a.download = `quarnel-${t.getFullYear()}${two(t.getMonth() + 1)}${two(t.getDate())}-` +
                     `${two(t.getHours())}${two(t.getMinutes())}${two(t.getSeconds())}.log`;
        a.href = URL.createObjectURL(new Blob([log.textContent], { type: "text/plain" }));
        document.body.append(a);
        a.click();
        a.remove();
        setTimeout(() => URL.revokeObjectURL(a.href), 10000);
        $("log-note").textContent = "Saved as " + a.download + ".";
    });

    // --- offline and installable: only a page served over https or from localhost can be ---
    const installable = () => {
        if (location.protocol === "file:") {
            notice("Opened from a file: flashing and the demo work, but the page cannot be installed or kept " +
                   "for offline use here (that needs it served over https or from localhost).");
        } else if (window.isSecureContext && "serviceWorker" in navigator && !embedded.size) {
            navigator.serviceWorker.register("sw.js").catch(() => {});
        }
    };

    // --- start-up ---
    const boot = async () => {
        installable();
        $("support").textContent = support;
        const options = {
            onLog: logLine,
            onClearLog: () => { log.textContent = ""; },
            onProgressMax: (max) => { $("progress").max = Math.max(1, max); },
            onProgress: (pos) => {
                $("progress").value = pos;
                // The closing steps set the bar back to 0: the percent keeps what the run reached.
                if (pos > 0) $("percent").textContent = Math.floor((100 * pos) / $("progress").max) + " %";
            },
            onMessage: showMessage,
            onAsk: ask,
        };
        if (window.QuarnelWasm) {
            options.wasmBinary = Uint8Array.from(atob(window.QuarnelWasm), (c) => c.charCodeAt(0));
        }
        if (navigator.hid && window.isSecureContext) {
            state.hid = new QuarnelHid(navigator.hid);
            options.quarnelHid = state.hid;
            state.hid.onchange = deviceChange;
        }
        try {
            state.module = await QuarnelModule(options);
        } catch (e) {
            // Opened from disk, a browser does not let the page fetch its wasm.
            showMessage(location.protocol === "file:" && !window.QuarnelWasm
                ? "Opened from a file, this page cannot load its WebAssembly: open quarnel-flash.html (the " +
                  "page in one file) instead, or serve this folder (python3 -m http.server)."
                : "The flasher could not start: " + (e && e.message ? e.message : e));
            $("support").textContent = "Not started";
            return;
        }
        const demo = params.get("demo");
        const file = params.get("file");
        // The demo without a file or a list of its own flashes the examples.
        const manifest = params.get("manifest") || (demo && !file ? "examples/manifest.json" : null);
        if (manifest) await loadManifest(manifest);
        if (demo) {
            $("demo-family").value = demo;
            $("demo-settings").value = params.get("sim") || "";
            await start(demo, $("demo-settings").value);
        } else if (state.hid) {
            for (const d of await navigator.hid.getDevices()) state.hid.add(d);
            await start(null, "");
        } else {
            refresh();
        }
        if (file) await loadFileUrl(file);
        document.body.dataset.ready = "1";
        // Only the virtual board is flashed by a link; a real one waits for a click on FLASH.
        if (params.get("flash") === "1") {
            if (!demo) {
                $("stage").textContent = "This link asks for a flash: check the board and the file, then click FLASH.";
            } else if ($("flash").disabled) {
                setResult($("manifest-info").classList.contains("refused") ? "refused" : "failed");
            } else {
                await flash();
            }
        }
    };
    boot();
})();
