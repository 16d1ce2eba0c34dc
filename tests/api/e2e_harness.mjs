// What the browser end-to-end scripts share: Chromium through playwright-core,
// a scratch area with a stand-in "xdg-open" that records the address the
// program opens, the program started in --browser mode, checks that print as
// they pass, and a watchdog. Every child process and the browser are ended on
// the way out, whatever the outcome, and the scratch area is removed.
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { createRequire } from "node:module";
import { fileURLToPath } from "node:url";

export const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
export const CHROMIUM = "/usr/bin/chromium";

const children = new Set();
let browser = null;
let tmp = null;
let watchdog = null;

// playwright-core's Chromium driver; exits with status 1 when it or one of
// the tools the script needs is not installed.
export function loadChromium(tools = []) {
  let chromium;
  try {
    chromium = createRequire(path.join(root, "tools/npm/package.json"))("playwright-core").chromium;
  } catch (e) {
    console.error("playwright-core is missing: run tools/install-deps.sh (" + e.message + ")");
    process.exit(1);
  }
  for (const tool of [CHROMIUM, ...tools]) {
    if (!fs.existsSync(tool)) {
      console.error(tool + " is missing: run tools/install-deps.sh");
      process.exit(1);
    }
  }
  return chromium;
}

// Creates the scratch area (data directory, home, a bin folder for PATH with
// the recording opener) and starts the watchdog of `seconds`.
export function scratch(prefix, seconds) {
  watchdog = setTimeout(() => fail("the run took longer than " + seconds + " s"), seconds * 1000);
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  const s = {
    tmp,
    dataDir: path.join(tmp, "data"),
    homeDir: path.join(tmp, "home"),
    binDir: path.join(tmp, "bin"),
    opened: path.join(tmp, "opened.txt"),
  };
  for (const d of [s.dataDir, s.homeDir, s.binDir]) fs.mkdirSync(d, { recursive: true });
  fs.writeFileSync(path.join(s.binDir, "xdg-open"), `#!/bin/sh\nprintf '%s\\n' "$1" >> '${s.opened}'\n`, { mode: 0o755 });
  return s;
}

// Ends `child` with the run; resolves child.exited with its status (128 + signal number when killed).
export function track(child) {
  children.add(child);
  child.exited = new Promise((resolve) => child.on("exit", (code, signal) => {
    children.delete(child);
    resolve(code ?? 128 + os.constants.signals[signal]);
  }));
  return child;
}

export async function cleanup() {
  clearTimeout(watchdog);
  for (const c of children) c.kill("SIGKILL");
  if (browser) await browser.close().catch(() => {});
  if (tmp) {
    try { fs.rmSync(tmp, { recursive: true, force: true }); } catch {}
  }
}
export async function fail(message) {
  console.error("FAIL: " + message);
  await cleanup();
  process.exit(1);
}
export function check(cond, message) {
  if (!cond) throw new Error(message);
  console.log("ok - " + message);
}

// Starts `program` in --browser mode over the scratch area `s` and resolves
// with {child, url} once the opener has been asked to open the address, which
// must be the one the program printed.
export async function startProgram(program, s) {
  const before = fs.existsSync(s.opened) ? fs.readFileSync(s.opened, "utf8") : "";
  const child = track(spawn(program, ["--browser"], {
    env: { ...process.env, AV_DATA_DIR: s.dataDir, HOME: s.homeDir, PATH: s.binDir + ":" + process.env.PATH },
    stdio: ["ignore", "pipe", "pipe"],
  }));
  let out = "";
  child.stdout.on("data", (d) => { out += d; });
  child.stderr.on("data", (d) => process.stderr.write(d));
  for (let i = 0; i < 300; i++) {
    const now = fs.existsSync(s.opened) ? fs.readFileSync(s.opened, "utf8") : "";
    if (now.length > before.length && out.includes("Press Ctrl+C to quit.\n")) {
      const url = now.slice(before.length).trim();
      check(out === "Keltharon Antivirus is running at " + url + "\nPress Ctrl+C to quit.\n", "the program prints the address it opens");
      check(/^http:\/\/127\.0\.0\.1:\d+\/\?t=[0-9a-f]{48}$/.test(url), "the address is on 127.0.0.1 with a 48-digit token");
      return { child, url };
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error("the program did not open its address within 30 s; output: " + out);
}

export async function waitExit(child, ms) {
  return await Promise.race([child.exited, new Promise((r) => setTimeout(() => r("timeout"), ms))]);
}

// A headless page in a new browser context; `pageErrors` collects script
// errors and content-security-policy refusals, for the page must work under
// its own policy.
export async function openPage(chromium, contextOptions) {
  browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"] });
  const context = await browser.newContext(contextOptions);
  const page = await context.newPage();
  page.setDefaultTimeout(30000);
  const pageErrors = [];
  page.on("pageerror", (e) => pageErrors.push(e.message));
  page.on("console", (m) => { if (/Content Security Policy|Refused to/i.test(m.text())) pageErrors.push(m.text()); });
  return { page, pageErrors };
}

// Runs `body`, then ends everything and exits 0 with `passed` printed, or 1 with the failure.
export async function main(body, passed) {
  try {
    await body();
    await cleanup();
    console.log(passed);
    process.exit(0);
  } catch (e) {
    await fail(e.stack || String(e));
  }
}
