// Drives the page in headless Chromium for one test case; exits 0 when it passed, 1 when it failed,
// 77 when it cannot run here (no chromium, no built site or no puppeteer-core).
//   node run.js --site DIR --repo DIR --quarnel EXE --case NAME
"use strict";

const fs = require("fs");
const http = require("http");
const os = require("os");
const path = require("path");
const { execFileSync } = require("child_process");

const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, "")] = process.argv[i + 1];
const chromium = process.env.QUARNEL_CHROMIUM || "/usr/bin/chromium";
const skip = (why) => {
    console.log("SKIPPED: " + why);
    process.exit(77);
};
if (!fs.existsSync(chromium)) skip(chromium + " is missing (./scripts/web --test installs chromium)");
if (!args.site || !fs.existsSync(path.join(args.site, "quarnel.wasm"))) skip("no built site: run ./scripts/web");
let puppeteer;
try {
    puppeteer = require("puppeteer-core");
} catch (e) {
    skip("puppeteer-core is not installed (./scripts/web --test installs it)");
}

const Examples = { pic16: "examples/pic16/blink16.hex", pic18: "examples/pic18/blink18.hex",
                   pic24: "examples/pic24/blink24.hex", pic32: "examples/pic32/blink32.hex" };
const Types = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".wasm": "application/wasm" };

let failures = 0;
const check = (ok, what) => {
    console.log((ok ? "ok   " : "FAIL ") + what);
    if (!ok) failures++;
};

// The site on 127.0.0.1, on a port of its own.
const serve = (root) => new Promise((resolve) => {
    const server = http.createServer((req, res) => {
        const file = path.join(root, decodeURIComponent(new URL(req.url, "http://x").pathname));
        if (!file.startsWith(path.resolve(root)) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
            res.writeHead(404);
            return res.end();
        }
        res.writeHead(200, { "Content-Type": Types[path.extname(file)] || "application/octet-stream" });
        fs.createReadStream(file).pipe(res);
    });
    server.listen(0, "127.0.0.1", () => resolve(server));
});

// The CLI's run of the same file on the same virtual board: its log (stdout) and the board's flash.
const cliRun = (family, file, extra = []) => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), "quarnel-web-"));
    let out;
    try {
        out = execFileSync(args.quarnel, ["flash", file, "--simulate", family, "--sim-dump", dir + "/board", ...extra],
                           { cwd: args.repo, encoding: "utf8", stdio: ["ignore", "pipe", "pipe"],
                             env: { ...process.env, HOME: dir } });
    } catch (e) {
        out = e.stdout;  // a failed run exits non-zero; its log is what counts here
    }
    const dump = (name) => (fs.existsSync(name) ? fs.readFileSync(name).toString("base64") : "");
    const result = { log: out, flash: dump(dir + "/board-flash.bin"), boot: dump(dir + "/board-boot.bin") };
    fs.rmSync(dir, { recursive: true, force: true });
    return result;
};

const lines = (text) => text.split("\n").map((l) => l.trimEnd()).filter((l, i, a) => l !== "" || i < a.length - 1);

async function main() {
    const server = await serve(args.site);
    const base = "http://127.0.0.1:" + server.address().port + "/";
    const browser = await puppeteer.launch({
        executablePath: chromium,
        headless: true,
        args: ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
    });
    const page = await browser.newPage();
    page.on("pageerror", (e) => console.log("page error: " + e.message));
    const standIn = async (config) => {
        await page.evaluateOnNewDocument((c) => { window.__standinConfig = c; }, config);
        await page.evaluateOnNewDocument(fs.readFileSync(path.join(__dirname, "hid-standin.js"), "utf8"));
    };
    const result = async (timeoutMs = 120000) => {
        await page.waitForFunction(() => document.body.dataset.result !== "", { timeout: timeoutMs, polling: 50 });
        return page.evaluate(() => document.body.dataset.result);
    };
    const log = () => page.$eval("#log", (e) => e.textContent);
    const sameFlash = async (family, file) => {
        const cli = cliRun(family, file);
        check((await page.evaluate(() => __standin.flash())) === cli.flash, "the board holds what the CLI's run leaves");
        if (cli.boot) check((await page.evaluate(() => __standin.boot())) === cli.boot, "its boot flash too");
        return cli;
    };
    const board = () => page.evaluate(() => ({ reports: __standin.reports(), violations: __standin.violations(),
                                               ended: __standin.ended(), disabled: __standin.disabled(),
                                               untouched: __standin.untouched(),
                                               cutAt: __standin.disconnectedAtReport(),
                                               transport: __standin.transportError() }));

    const name = args.case;
    if (name === "demo") {
        const file = Examples.pic18;
        await page.goto(base + "index.html?demo=pic18&file=" + file + "&flash=1");
        check((await result()) === "flashed", "the demo URL flashes (data-result=flashed)");
        const web = lines(await log());
        const cli = lines(cliRun("pic18", file).log);
        const n = Math.min(12, cli.length);
        const same = n > 0 && web.slice(-n).join("\n") === cli.slice(-n).join("\n");
        check(same, "the page's log ends as the CLI's (last " + n + " lines)");
        if (!same) console.log("page:\n" + web.slice(-n).join("\n") + "\ncli:\n" + cli.slice(-n).join("\n"));
    } else if (Examples[name]) {
        await standIn({ family: name });
        const file = Examples[name];
        if (name === "pic16") {
            // The picker and the FLASH button, as a user goes.
            await page.goto(base + "index.html");
            await page.waitForFunction(() => !document.getElementById("flash").disabled ||
                                              document.body.dataset.ready === "1");
            const input = await page.$("#file");
            await input.uploadFile(path.join(args.repo, file));
            await page.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 10000 });
            await page.click("#flash");
        } else {
            await page.goto(base + "index.html?file=" + file + "&flash=1");
        }
        check((await result(300000)) === "flashed", name + ": " + file + " flashed through the stand-in");
        const b = await board();
        check(b.violations === 0 && b.transport === "", "no protocol or transport violation (" + b.reports + " reports)");
        check(b.ended, "the board's session was ended");
        await sameFlash(name, file);
        const t = await page.evaluate(() => ["runMs", "floorMs", "pauseLateMs"].map((k) => Number(document.body.dataset[k])));
        console.log(`${name}: run ${(t[0] / 1000).toFixed(2)} s, protocol floor ${(t[1] / 1000).toFixed(2)} s, ` +
                    `ratio ${(t[0] / t[1]).toFixed(3)} (target 1.10); pauses ended ${(t[2] / 1000).toFixed(2)} s late in all`);
    } else if (name === "demo_fault") {
        // The demo's settings are the --sim ones: the same fault ends both runs the same way.
        const file = Examples.pic18;
        await page.goto(base + "index.html?demo=pic18&sim=drop-answer=60&file=" + file + "&flash=1");
        check((await result()) === "failed", "the demo with drop-answer=60 fails (data-result=failed)");
        const web = lines(await log());
        const cli = lines(cliRun("pic18", file, ["--sim", "drop-answer=60"]).log);
        const n = Math.min(4, cli.length);
        const same = web.slice(-n).join("\n") === cli.slice(-n).join("\n");
        check(same, "its log ends as the CLI's with --sim drop-answer=60 (last " + n + " lines)");
        if (!same) console.log("page:\n" + web.slice(-n).join("\n") + "\ncli:\n" + cli.slice(-n).join("\n"));
    } else if (name === "connect" || name === "plug") {
        // A board not granted yet: Connect asks for it. A granted board plugged in later: the page
        // connects by itself.
        await standIn({ family: "pic24", granted: name === "plug", plugged: name === "connect" });
        await page.goto(base + "index.html" + (name === "connect" ? "?file=" + Examples.pic24 : ""));
        await page.waitForFunction(() => document.body.dataset.ready === "1");
        if (name === "plug") {
            // The file comes by drag and drop onto the drop zone.
            const text = fs.readFileSync(path.join(args.repo, Examples.pic24), "utf8");
            await page.evaluate((t) => {
                const dt = new DataTransfer();
                dt.items.add(new File([t], "blink24.hex"));
                document.getElementById("drop").dispatchEvent(new DragEvent("drop", { dataTransfer: dt, bubbles: true }));
            }, text);
            await page.waitForFunction(() => document.getElementById("file-name").textContent === "blink24.hex");
        }
        check(await page.$eval("#flash", (e) => e.disabled), "no board yet: FLASH is off");
        if (name === "connect") await page.click("#connect");
        else await page.evaluate(() => __standin.plug());
        await page.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 20000 });
        check((await page.$eval("#target", (e) => e.textContent)).startsWith("PIC24"), "the target is described");
        await page.click("#flash");
        check((await result()) === "flashed", "flashed after " + (name === "connect" ? "Connect" : "the plug-in"));
    } else if (name === "fault") {
        await standIn({ family: "pic18", settings: "wrong-echo=40" });
        await page.goto(base + "index.html?file=" + Examples.pic18 + "&flash=1");
        check((await result()) === "failed", "a wrong echo shows the failure state");
        const b = await board();
        check(!b.ended, "the session was not ended as after a good run");
        check((await log()).includes("Completed."), "the closing steps ran");
    } else if (name === "refused") {
        await standIn({ family: "pic18" });
        await page.goto(base + "index.html");
        await page.waitForFunction(() => document.body.dataset.ready === "1");
        const before = (await board()).reports;
        await (await page.$("#file")).uploadFile(path.join(args.repo, "tests/data/hex/pic18_window_high.hex"));
        await page.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 10000 });
        await page.click("#flash");
        check((await result()) === "refused", "a file the bootloader's window refuses shows refused");
        const b = await board();
        check(b.untouched, "the board's flash is untouched");
        check(b.reports === before, "no report reached the board (" + before + " before, " + b.reports + " after)");
    } else if (name === "checksum") {
        // The core's question, asked by the page while the run waits: No (the default) refuses the
        // file, Yes flashes it.
        await standIn({ family: "pic18" });
        await page.goto(base + "index.html");
        await page.waitForFunction(() => document.body.dataset.ready === "1");
        await (await page.$("#file")).uploadFile(path.join(args.repo, "tests/data/hex/pic18_bad_checksum.hex"));
        await page.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 10000 });
        await page.click("#flash");
        await page.waitForSelector("#ask[open]");
        check((await page.$eval("#ask-text", (e) => e.textContent)).includes("checksum"), "the page asks about the checksums");
        check(await page.evaluate(() => document.activeElement.value === "no"), "the question has the focus on No");
        await page.keyboard.press("Enter");
        check((await result()) === "refused", "No refuses the file");
        check((await board()).untouched, "the board's flash is untouched");
        await page.click("#reset");
        await page.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 10000 });
        await page.click("#flash");
        await page.waitForSelector("#ask[open]");
        await page.click("#ask button[value=yes]");
        check((await result()) === "flashed", "Yes flashes it");
        check(!(await board()).untouched && (await board()).violations === 0, "the board took it without a violation");
    } else if (name === "disconnect") {
        await standIn({ family: "pic18", disconnectAt: 300 });
        const started = Date.now();
        await page.goto(base + "index.html?file=" + Examples.pic18 + "&flash=1");
        check((await result()) === "failed", "a board unplugged mid-run fails the run");
        const b = await board();
        check(b.cutAt > 0 && b.reports === b.cutAt, "no report reached the board after the disconnect");
        const text = await log();
        check(text.includes("Flashing failed: target unplugged!"), "the log says the target was unplugged");
        console.log("disconnect: run ended " + ((Date.now() - started) / 1000).toFixed(2) + " s after the page opened");
    } else if (name === "disable") {
        await standIn({ family: "pic18" });
        await page.goto(base + "index.html?file=" + Examples.pic18);
        await page.waitForFunction(() => document.body.dataset.ready === "1");
        await page.click("#disable");
        await page.waitForSelector("#ask[open]");
        check(await page.evaluate(() => document.activeElement.value === "no"), "the question has the focus on No");
        await page.keyboard.press("Enter");  // the default answer
        await page.waitForFunction(() => !document.getElementById("ask").open);
        check(!(await page.$eval("#disable", (e) => e.checked)), "No is the default: the option stays off");
        await page.click("#disable");
        await page.waitForSelector("#ask[open]");
        await page.click("#ask button[value=yes]");
        await page.waitForFunction(() => document.getElementById("disable").checked);
        await page.click("#flash");
        check((await result()) === "flashed", "flashed with the option on");
        check((await board()).disabled, "the board's bootloader was disabled");
    } else {
        console.log("unknown case " + name);
        failures++;
    }
    await browser.close();
    server.close();
    console.log(failures === 0 ? "1 passed, 0 failed" : "0 passed, 1 failed");
    process.exit(failures === 0 ? 0 : 1);
}

main().catch((e) => {
    console.log("FAIL " + (e && e.stack || e));
    process.exit(1);
});
