// The boards the page may use, as the wasm HID back end (web/TWebHidBackend.cpp) reads them:
// the granted WebHID devices that are present, their report layout from the device's collections,
// and the input reports waiting on each open handle.
"use strict";

class QuarnelHid {
    constructor(hid) {
        this.hid = hid;
        this.entries = [];   // present devices
        this.handles = new Map();
        this.nextId = 1;
        this.nextHandle = 1;
        this.onchange = null;  // (kind, device) after a connect or disconnect event
        this.openFailed = false;  // a present board could not be opened (on Linux: no udev rule)
        hid.addEventListener("connect", (e) => {
            this.add(e.device);
            if (this.onchange) this.onchange("connect", e.device);
        });
        hid.addEventListener("disconnect", (e) => {
            this.remove(e.device);
            if (this.onchange) this.onchange("disconnect", e.device);
        });
    }

    // Output report length (report ID byte included) and whether the device numbers its reports.
    static layout(device) {
        let numbered = false;
        let length = 0;
        let known = false;
        const walk = (collections) => {
            for (const c of collections || []) {
                for (const kind of ["inputReports", "outputReports", "featureReports"]) {
                    for (const r of c[kind] || []) {
                        if (r.reportId) numbered = true;
                        if (kind !== "outputReports") continue;
                        let bits = 0;
                        for (const item of r.items || []) bits += item.reportSize * item.reportCount;
                        known = true;
                        length = Math.max(length, 1 + Math.ceil(bits / 8));
                    }
                }
                walk(c.children);
            }
        };
        walk(device.collections);
        return { numbered, length, known };
    }

    // Adds a granted device (once); returns its entry.
    add(device) {
        const old = this.find(device);
        if (old) return old;
        const l = QuarnelHid.layout(device);
        const id = this.nextId++;
        const entry = {
            id, device, path: "webhid:" + id,
            vendorId: device.vendorId, productId: device.productId, version: 0,
            product: device.productName || null, manufacturer: null, serial: null,
            reportLength: l.length, capsRead: l.known, numbered: l.numbered, gone: false,
        };
        this.entries.push(entry);
        return entry;
    }

    find(device) {
        return this.entries.find((e) => e.device === device);
    }

    // The board is gone: every transfer on its handles fails from now on.
    remove(device) {
        const entry = this.find(device);
        if (!entry) return;
        entry.gone = true;
        this.entries = this.entries.filter((e) => e !== entry);
    }

    present() {
        return this.entries;
    }

    // A handle >= 1, or a refusal: -2 gone, -3 report length, -4 numbered reports, -5 cannot open.
    async open(path) {
        const entry = this.entries.find((e) => e.path === path);
        if (!entry) return -2;
        if (entry.numbered) return -4;
        if (entry.capsRead && entry.reportLength !== 65) return -3;
        try {
            if (!entry.device.opened) await entry.device.open();
        } catch (e) {
            if (!entry.gone) this.openFailed = true;
            return entry.gone ? -2 : -5;
        }
        if (entry.gone) return -2;
        const handle = { entry, queue: [] };
        // Every open handle gets its own copy of each input report, as a hidraw node does.
        handle.listener = (ev) => {
            const data = new Uint8Array(ev.data.buffer, ev.data.byteOffset, ev.data.byteLength);
            const report = new Uint8Array(data.length + 1);
            report[0] = ev.reportId;
            report.set(data, 1);
            handle.queue.push(report);
            if (handle.queue.length > 256) handle.queue.shift();
        };
        entry.device.addEventListener("inputreport", handle.listener);
        const id = this.nextHandle++;
        this.handles.set(id, handle);
        return id;
    }

    close(id) {
        const h = this.handles.get(id);
        if (!h) return;
        h.entry.device.removeEventListener("inputreport", h.listener);
        this.handles.delete(id);
    }

    // True once the browser took the report within timeoutMs.
    async write(id, bytes, timeoutMs) {
        const h = this.handles.get(id);
        if (!h || h.entry.gone) return false;
        let timer;
        const timeout = new Promise((resolve) => { timer = setTimeout(() => resolve(false), timeoutMs); });
        const sent = h.entry.device.sendReport(bytes[0], bytes.subarray(1)).then(() => true, () => false);
        const ok = await Promise.race([sent, timeout]);
        clearTimeout(timer);
        return ok;
    }

    read(id) {
        const h = this.handles.get(id);
        return h && h.queue.length ? h.queue.shift() : null;
    }

    gone(id) {
        const h = this.handles.get(id);
        return h ? h.entry.gone : false;
    }
}
