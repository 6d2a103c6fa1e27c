// Real players in headless Chromium against a live HTTP streaming server.
//
//   node players.js page  BASE_URL WIDTH LOADS   the page (hls.js) plays /live.m3u8
//   node players.js shaka BASE_URL WIDTH         Shaka Player plays /live.mpd
//
// Each start must see the video advance by at least 3 s at the given width
// with no fatal player error.  One line per start; exit status 0 when all
// passed.  Playwright and Shaka Player come from web/node_modules.
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");

const webDir = path.resolve(__dirname, "../../web");
const { chromium } = require(require.resolve("playwright-core", { paths: [webDir] }));
const shakaScript = path.join(webDir, "node_modules/shaka-player/dist/shaka-player.compiled.js");

const [mode, base, widthText, loadsText] = process.argv.slice(2);
const width = Number(widthText);
const kAdvance = 3;
const kStartTimeoutMs = 25000;

// Resolves once the video has played kAdvance seconds past the first frame it
// showed; rejects on a fatal error reported in window.live.fatal.
async function waitForPlayback(page) {
  await page.waitForFunction((advance) => {
    const video = document.querySelector("video");
    if (window.live && window.live.fatal) return true;
    if (!video || video.currentTime <= 0 || video.videoWidth === 0) return false;
    if (window.live.firstTime === undefined) window.live.firstTime = video.currentTime;
    return video.currentTime - window.live.firstTime >= advance;
  }, kAdvance, { timeout: kStartTimeoutMs, polling: 200 });
  const state = await page.evaluate(() => {
    const video = document.querySelector("video");
    return {
      fatal: window.live.fatal,
      advanced: video.currentTime - window.live.firstTime,
      width: video.videoWidth,
      height: video.videoHeight,
      codecs: window.live.codecs || {},
    };
  });
  if (state.fatal) throw new Error("fatal player error: " + state.fatal);
  if (state.width !== width) throw new Error("video width " + state.width + ", wanted " + width);
  return state;
}

async function pageLoad(context, n) {
  const page = await context.newPage();
  try {
    await page.goto(base + "/", { timeout: 10000 });
    const state = await waitForPlayback(page);
    await page.waitForFunction(() => !/…/.test(document.getElementById("version").textContent +
                                                document.getElementById("streams").textContent) &&
                                     window.live.stats !== undefined,
                               null, { timeout: 5000 });
    const shown = await page.evaluate(() => ({
      version: document.getElementById("version").textContent,
      streams: document.getElementById("streams").textContent,
      latency: document.getElementById("latency").textContent,
      buffered: document.getElementById("buffered").textContent,
      resolution: document.getElementById("resolution").textContent,
      server: document.getElementById("stat-streams").textContent,
      segments: document.getElementById("segments").textContent,
    }));
    console.log(`load ${n}: played ${state.advanced.toFixed(1)} s at ${state.width}x${state.height}; ` +
                `video ${state.codecs.video || state.codecs.audiovideo || "-"}, audio ${state.codecs.audio || "none"}; ` +
                `version "${shown.version}", streams "${shown.streams}", resolution ${shown.resolution}, ` +
                `buffered ${shown.buffered}, behind live edge ${shown.latency}; ` +
                `server "${shown.server}", segments held ${shown.segments}`);
  } finally {
    await page.close();
  }
}

// Shaka Player on a page of the server's origin, built in place.
async function shakaLoad(context) {
  const page = await context.newPage();
  try {
    await page.goto(base + "/getVersion", { timeout: 10000 });
    await page.evaluate(() => {
      document.body.innerHTML = '<video muted autoplay playsinline></video>';
      window.live = { fatal: null };
    });
    await page.addScriptTag({ path: shakaScript });
    await page.evaluate(async (url) => {
      shaka.polyfill.installAll();
      if (!shaka.Player.isBrowserSupported()) { window.live.fatal = "browser not supported"; return; }
      const player = new shaka.Player();
      await player.attach(document.querySelector("video"));
      player.addEventListener("error", (event) => {
        if (event.detail.severity === shaka.util.Error.Severity.CRITICAL) window.live.fatal = "shaka error " + event.detail.code + " " + JSON.stringify(event.detail.data);
      });
      try { await player.load(url); } catch (error) { window.live.fatal = "shaka load error " + error.code + " " + JSON.stringify(error.data); }
      document.querySelector("video").play().catch(() => {});
    }, base + "/live.mpd");
    const state = await waitForPlayback(page);
    console.log(`shaka: played ${state.advanced.toFixed(1)} s at ${state.width}x${state.height}`);
  } finally {
    await page.close();
  }
}

async function main() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "yvk-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    timeout: 30000,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--autoplay-policy=no-user-gesture-required"],
  });
  try {
    if (mode === "page") {
      for (let n = 1; n <= Number(loadsText || 1); n++) await pageLoad(context, n);
    } else if (mode === "shaka") {
      await shakaLoad(context);
    } else {
      throw new Error("unknown mode " + mode);
    }
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

main().then(() => process.exit(0), (error) => {
  console.log("FAILED: " + (error && error.message ? error.message.split("\n")[0] : error));
  process.exit(1);
});
