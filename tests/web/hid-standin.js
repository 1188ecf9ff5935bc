// A navigator.hid stand-in for the page's tests, injected before the page's scripts. Its one board is
// a virtual bootloader served by a second instance of the page's own wasm module (the qf_sim_* calls).
// Set window.__standinConfig = {family, settings, granted, plugged, disconnectAt, openFails} before this
// runs: granted false makes the page ask for the board (Connect), plugged false keeps it away until
// plug(), openFails makes opening fail as on Linux without the udev rule.
"use strict";

(() => {
    const config = Object.assign({ family: "pic18", settings: "", granted: true, plugged: true,
                                   disconnectAt: 0, openFails: false },
                                 window.__standinConfig || {});
    const report64 = { reportId: 0, items: [{ reportSize: 8, reportCount: 64 }] };
    const latency = /latency-ms=/.test(config.settings);
    let M = null;
    let buffer = 0;
    let device = null;
    const hid = new EventTarget();
    const state = { disconnectedAtReport: -1, before: null, error: "" };

    const call = (name, ret = "number", types = [], args = []) => M.ccall(name, ret, types, args);
    const memory = (which) => {
        const at = call("qf_sim_memory", "number", ["number"], [which]);
        return M.HEAPU8.slice(at, at + call("qf_sim_memory_size", "number", ["number"], [which]));
    };
    const base64 = (bytes) => {
        let s = "";
        for (let i = 0; i < bytes.length; i += 0x8000) s += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
        return btoa(s);
    };

    class StandInDevice extends EventTarget {
        constructor() {
            super();
            this.vendorId = call("qf_sim_identity", "number", ["number"], [0]);
            this.productId = call("qf_sim_identity", "number", ["number"], [1]);
            this.productName = call("qf_sim_text", "string", ["number"], [0]);
            this.collections = [{ usagePage: 0xff00, usage: 1, type: 1, children: [],
                                  inputReports: [report64], outputReports: [report64], featureReports: [] }];
            this.opened = false;
            this.gone = false;
        }
        async open() {
            if (this.gone) throw new DOMException("The device is gone.", "NotFoundError");
            if (config.openFails) throw new DOMException("Failed to open the device.", "NotAllowedError");
            this.opened = true;
        }
        async close() { this.opened = false; }
        async sendReport(reportId, data) {
            if (this.gone || !this.opened) throw new DOMException("Failed to write the report.", "NotAllowedError");
            if (config.disconnectAt && call("qf_sim_reports") + 1 >= config.disconnectAt) {
                unplug();
                throw new DOMException("Failed to write the report.", "NetworkError");
            }
            const bytes = new Uint8Array(data.buffer || data, data.byteOffset || 0, data.byteLength);
            if (reportId !== 0 || bytes.length !== 64) state.error = "report " + reportId + "/" + bytes.length;
            M.HEAPU8.set(bytes.subarray(0, 64), buffer);
            const taken = call("qf_sim_receive", "number", ["number"], [buffer]);
            if (!call("qf_sim_plugged")) {
                unplug();
                throw new DOMException("Failed to write the report.", "NetworkError");
            }
            if (!taken) throw new DOMException("Failed to write the report.", "NotAllowedError");
            pump(0);
        }
    }

    // Hands each answer that is ready to the page as an input report; only a board with latency is
    // asked again, for a while (most reports have no answer).
    const pump = (tries) => {
        let any = false;
        while (call("qf_sim_take", "number", ["number"], [buffer + 64])) {
            any = true;
            const data = new DataView(M.HEAPU8.slice(buffer + 64, buffer + 128).buffer);
            const ev = new Event("inputreport");
            Object.assign(ev, { device, reportId: 0, data });
            device.dispatchEvent(ev);
        }
        if (!any && latency && tries < 100) setTimeout(() => pump(tries + 1), 1);
    };

    const unplug = () => {
        if (device.gone) return;
        state.disconnectedAtReport = call("qf_sim_reports");
        if (call("qf_sim_plugged")) call("qf_sim_unplug");
        device.gone = true;
        const ev = new Event("disconnect");
        ev.device = device;
        hid.dispatchEvent(ev);
    };

    let ready = null;
    const start = () => {
        if (!ready) ready = (async () => {
            while (!window.QuarnelModule) await new Promise((r) => setTimeout(r, 5));
            M = await window.QuarnelModule({ print: () => {}, printErr: () => {} });
            if (call("qf_sim_create", "number", ["string", "string"], [config.family, config.settings]) !== 0)
                throw new Error("stand-in: " + call("qf_last_error", "string"));
            buffer = M._malloc(128);
            device = new StandInDevice();
            state.before = memory(0);
        })();
        return ready;
    };

    let present = config.plugged;
    hid.getDevices = async () => {
        await start();
        return config.granted && present && !device.gone ? [device] : [];
    };
    hid.requestDevice = async (options) => {
        await start();
        const filters = (options && options.filters) || [];
        const match = filters.length === 0 || filters.some((f) =>
            (f.vendorId === undefined || f.vendorId === device.vendorId) &&
            (f.productId === undefined || f.productId === device.productId));
        if (!match || !present || device.gone) return [];
        config.granted = true;
        return [device];
    };
    Object.defineProperty(navigator, "hid", { value: hid, configurable: true });

    // What the tests read from the board, and the board plugged in as a granted one comes back.
    window.__standin = {
        plug: async () => {
            await start();
            present = true;
            const ev = new Event("connect");
            ev.device = device;
            hid.dispatchEvent(ev);
        },
        ready: () => start().then(() => true),
        reports: () => call("qf_sim_reports"),
        violations: () => call("qf_sim_violations"),
        ended: () => call("qf_sim_ended") === 1,
        disabled: () => call("qf_sim_disabled") === 1,
        untouched: () => {
            const now = memory(0);
            return now.length === state.before.length && now.every((b, i) => b === state.before[i]);
        },
        flash: () => base64(memory(0)),
        boot: () => base64(memory(1)),
        disconnectedAtReport: () => state.disconnectedAtReport,
        transportError: () => state.error,
    };
})();
