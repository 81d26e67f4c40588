// Import page for assets sent from the Blender add-on.
//
// The add-on opens  /import/blender#port=P&token=T&kind=image|video  and keeps
// a small HTTP server (the bridge) on 127.0.0.1:P that serves one asset. This
// page fetches GET /meta and GET /asset from it with the token in the query,
// shows the asset, uploads it to this site and, only after the upload has
// been stored, tells the bridge with POST /done so that it can close. A failed
// upload leaves the bridge running, so "重试" can fetch and upload again.
//
// Browsers guard an https page's requests to 127.0.0.1 ("Local Network Access": Chrome, Edge
// and Firefox ask the user first; Safari refuses them as mixed content; Brave's shields may drop
// them).
// So the page asks the browser's permission state before its first bridge request: when the
// browser is about to ask, the page says what the question is and why, and waits for a click;
// when the browser has blocked the page, it says so and how to allow it. Whenever the browser
// keeps the page from the bridge, the user can still pick the file by hand and upload it.
//
// The current step is mirrored in <body data-state>, for tests and styling:
//   init, permission, meta, download, upload, finish, done,
//   error-link, error-expired, error-gone, error-offline, error-bridge, error-upload,
//   error-blocked (the browser's permission is denied), error-refused (the browser refuses
//   loopback requests)
// <html data-browser> names the browser whose menus the instructions follow.
"use strict";

(() => {
  const UPLOAD_URL = "/api/upload";
  const BRIDGE_HOST = "127.0.0.1";
  const MB = 1048576;

  // The asset kinds Blender sends, the one table the page reads them from: the link's kind,
  // its label, and what a file picked by hand must be (media type, extension, first bytes,
  // largest size the add-on hands over).
  const KINDS = {
    image: {
      label: "图片",
      mime: "image/png",
      ext: ".png",
      maxBytes: 20 * MB,
      sniff: (b) => [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a].every((v, i) => b[i] === v),
    },
    video: {
      label: "视频",
      mime: "video/mp4",
      ext: ".mp4",
      maxBytes: 200 * MB,
      sniff: (b) => String.fromCharCode(...b.slice(4, 8)) === "ftyp",
    },
  };
  const kindOf = (kind) => (Object.prototype.hasOwnProperty.call(KINDS, kind) ? KINDS[kind] : null);

  const MESSAGES = {
    init: "正在准备导入…",
    meta: "正在读取 Blender 发来的素材信息…",
    download: "正在从 Blender 接收素材…",
    upload: "正在上传到 Canvas…",
    finish: "上传完成，正在通知 Blender…",
    done: "导入完成，素材已保存到 Canvas。",
    "error-link": "导入链接不完整（缺少端口、令牌或素材类型）。请回到 Blender 重新发送。",
    "error-expired": "这个导入链接已失效或不正确：它只能使用一次，且 30 分钟后过期。请回到 Blender 重新发送素材。",
    "error-gone": "Blender 临时保存的素材文件已不存在。请在 Blender 中重新生成并发送。",
    permission:
      "浏览器接下来会询问是否允许本站访问本机网络，请选择“允许”：本页只用它从你电脑上的 Blender 读取刚发送的素材。",
    "error-offline": "无法连接到 Blender：Blender 可能已关闭，或本地传输服务已结束。如果 Blender 仍在运行，请点击“重试”；否则请在 Blender 中重新发送。",
    "error-blocked": "浏览器阻止了本页连接你电脑上的 Blender。",
    "error-refused": "这个浏览器不允许网页连接你电脑上的 Blender。",
    "error-bridge": "Blender 返回了无法识别的应答，请点击“重试”或在 Blender 中重新发送。",
    "error-upload": "上传到 Canvas 失败，素材尚未保存。Blender 仍在等待，可以点击“重试”重新上传。",
  };
  // How to let this page reach Blender once the browser has kept it away, in the menus of the
  // browser in front of the user: Chrome and Edge share Chromium's, Safari has no such setting.
  const HOW_TO_ALLOW = {
    chromium:
      "要直接导入，请点击地址栏左侧的网站信息图标，打开“网站设置”，把“本地网络访问”改为“允许”，再点击“重试”；也可以在下方手动选择素材文件。",
    firefox:
      "要直接导入，请点击地址栏左侧的权限图标，在“访问此设备”一项点击 × 清除“已阻止”，再点击“重试”，在 Firefox 询问时选择“允许”；也可以在下方手动选择素材文件。",
    safari:
      "Safari 不允许安全网页访问本机地址，也没有可以放开它的设置。请在下方手动选择素材文件导入，或改用 Chrome、Edge、Firefox 打开本页。",
  };
  const BROWSER = (() => {
    const ua = navigator.userAgent;
    if (/Firefox\//.test(ua)) return "firefox";
    if (/AppleWebKit\//.test(ua) && !/(Chrome|Chromium|Edg|OPR)\//.test(ua)) return "safari";
    return "chromium";
  })();
  document.documentElement.dataset.browser = BROWSER;
  // What to do when the browser refuses loopback requests, by the likely cause.
  const REFUSED_HINTS = {
    "mixed-content": HOW_TO_ALLOW.safari,
    shields:
      "Brave 的防护（Shields）可能拦截了对本机的访问：点击地址栏右侧的 Brave 图标为本站关闭防护后点击“重试”，或在下方手动选择素材文件。",
  };
  // States after which repeating the fetch and upload can still succeed.
  const RETRYABLE = new Set([
    "error-gone",
    "error-offline",
    "error-bridge",
    "error-upload",
    "error-blocked",
    "error-refused",
  ]);
  // States in which the browser, not Blender, keeps the page from the bridge: the file can
  // still be picked by hand.
  const BLOCKED = new Set(["error-blocked", "error-refused"]);
  const STEP_LABEL = { download: "接收", upload: "上传" };

  const $ = (id) => document.getElementById(id);

  class Failure extends Error {
    constructor(state, detail, hint) {
      super(detail || state);
      this.state = state;
      this.detail = detail || "";
      this.hint = hint || "";
    }
  }

  function parseLink(hash) {
    const params = new URLSearchParams(hash.replace(/^#/, ""));
    const port = params.get("port") || "";
    const token = params.get("token") || "";
    const kind = params.get("kind") || "";
    if (!/^[0-9]{1,5}$/.test(port)) return null;
    const portNum = Number(port);
    if (portNum < 1 || portNum > 65535 || !token) return null;
    if (!kindOf(kind)) return null;
    return { port: portNum, token, kind };
  }

  // ---- page state --------------------------------------------------------

  function setState(state, detail, hint) {
    if (state === "error-blocked" && !hint) hint = HOW_TO_ALLOW[BROWSER];
    document.body.dataset.state = state;
    const status = $("status");
    status.textContent = MESSAGES[state] || state;
    if (detail) {
      const small = document.createElement("span");
      small.className = "detail";
      small.textContent = "（" + detail + "）";
      status.append(small);
    }
    if (hint) {
      const more = document.createElement("span");
      more.className = "hint";
      more.textContent = hint;
      status.append(more);
    }
    status.classList.toggle("is-error", state.startsWith("error"));
    status.classList.toggle("is-done", state === "done");
    status.classList.toggle("is-ask", state === "permission");
    // Safari refuses every time: a retry there could only fail again.
    $("retry").hidden = !RETRYABLE.has(state) || (state === "error-refused" && BROWSER === "safari");
    $("connect").hidden = state !== "permission";
    $("progress").hidden = !(state in STEP_LABEL);
    if (state in STEP_LABEL) showProgress(state, 0, NaN);
    showFallback(BLOCKED.has(state));
  }

  function formatMB(bytes) {
    return (bytes / MB).toFixed(bytes < MB ? 2 : 1) + " MB";
  }

  function showProgress(step, done, total) {
    $("progress-step").textContent = STEP_LABEL[step] || "";
    const fill = $("progress-fill");
    const bar = $("progress");
    if (Number.isFinite(total) && total > 0) {
      const pct = Math.min(100, (done / total) * 100);
      fill.style.width = pct.toFixed(1) + "%";
      fill.classList.remove("indeterminate");
      $("progress-text").textContent = `${formatMB(done)} / ${formatMB(total)}（${Math.floor(pct)}%）`;
      bar.dataset.percent = String(Math.floor(pct));
    } else {
      fill.style.width = "100%";
      fill.classList.add("indeterminate");
      $("progress-text").textContent = done ? formatMB(done) : "";
      delete bar.dataset.percent;
    }
  }

  // ---- metadata and preview ------------------------------------------------

  function num(v, digits) {
    if (typeof v !== "number") return String(v);
    return Number.isInteger(v) ? String(v) : v.toFixed(digits).replace(/\.?0+$/, "");
  }

  function metaRows(meta) {
    const rows = [];
    const used = new Set();
    const add = (label, value, ...keys) => {
      rows.push([label, value]);
      keys.forEach((k) => used.add(k));
    };
    if ("kind" in meta) add("类型", kindOf(meta.kind) ? kindOf(meta.kind).label : String(meta.kind), "kind");
    if ("width" in meta && "height" in meta) add("尺寸", `${meta.width} × ${meta.height}`, "width", "height");
    if ("fps" in meta) add("帧率", `${num(meta.fps, 3)} fps`, "fps");
    if ("frames" in meta) add("帧数", String(meta.frames), "frames");
    if ("duration" in meta) add("时长", `${num(meta.duration, 2)} 秒`, "duration");
    if ("truncated" in meta) add("已截断", meta.truncated ? "是，超出时长上限的部分已截去" : "否", "truncated");
    if ("frame" in meta) add("帧", String(meta.frame), "frame");
    if ("camera" in meta) add("相机", String(meta.camera), "camera");
    if ("object" in meta) add("对象", String(meta.object), "object");
    if ("source" in meta) add("源文件", String(meta.source), "source");
    if ("filename" in meta) add("文件名", String(meta.filename), "filename");
    if ("size" in meta) add("大小", formatMB(meta.size), "size");
    if ("mime" in meta) add("格式", String(meta.mime), "mime");
    for (const [k, v] of Object.entries(meta)) {
      if (!used.has(k)) rows.push([k, typeof v === "object" ? JSON.stringify(v) : String(v)]);
    }
    return rows;
  }

  function showMeta(meta) {
    const dl = $("meta");
    dl.replaceChildren();
    for (const [label, value] of metaRows(meta)) {
      const dt = document.createElement("dt");
      dt.textContent = label;
      const dd = document.createElement("dd");
      dd.textContent = value;
      dl.append(dt, dd);
    }
    $("asset").hidden = false;
  }

  let previewUrl = null;

  function showPreview(blob, kind, meta) {
    clearPreview();
    previewUrl = URL.createObjectURL(blob);
    const el = document.createElement(kind === "video" ? "video" : "img");
    if (kind === "video") {
      el.controls = true;
      el.muted = true;
      el.playsInline = true;
      el.preload = "auto";
    } else {
      el.alt = String(meta.filename || "素材预览");
    }
    el.id = "preview-media";
    // A file the browser cannot decode is still imported unchanged; only the
    // preview gives way to a note.
    el.addEventListener("error", () => {
      const note = document.createElement("p");
      note.className = "preview-note";
      note.textContent = "此浏览器无法预览该文件，导入不受影响。";
      el.replaceWith(note);
    });
    el.src = previewUrl;
    $("preview").append(el);
  }

  function clearPreview() {
    $("preview").replaceChildren();
    if (previewUrl) URL.revokeObjectURL(previewUrl);
    previewUrl = null;
  }

  // ---- bridge --------------------------------------------------------------

  function bridgeUrl(link, route) {
    return `http://${BRIDGE_HOST}:${link.port}${route}?token=${encodeURIComponent(link.token)}`;
  }

  // Tells a browser that knows Local Network Access that the request is meant for this
  // machine, so that it asks the user instead of failing. A browser that does not take the
  // option is left without it.
  const LOOPBACK_INIT = (() => {
    if (!(window.Request && "targetAddressSpace" in Request.prototype)) return {};
    try {
      new Request(`http://${BRIDGE_HOST}/`, { targetAddressSpace: "loopback" });
      return { targetAddressSpace: "loopback" };
    } catch (e) {
      return {};
    }
  })();

  // The browser's permission for requests to this machine, or null where it has none. Only
  // the current name is asked: the older "local-network-access" breaks some Chrome versions.
  async function loopbackPermission() {
    if (!(navigator.permissions && navigator.permissions.query)) return null;
    try {
      return await navigator.permissions.query({ name: "loopback-network" });
    } catch (e) {
      return null;
    }
  }

  // A page served from this machine itself (the development site) is not gated by the
  // browser, though its permission state reads "prompt".
  function pageOnLoopback() {
    const host = location.hostname;
    return host === "localhost" || host.endsWith(".localhost") || /^127\./.test(host) || host === "[::1]";
  }

  // Browsers that refuse an https page's requests to this machine without a permission to
  // ask: Safari (mixed content) and Brave (its shields, when on).
  function refusingBrowser() {
    if (navigator.brave) return "shields";
    if (location.protocol === "https:" && BROWSER === "safari") return "mixed-content";
    return null;
  }

  // Why a bridge request got no answer: the browser's doing, or no answer from Blender.
  async function unreachable() {
    const permission = pageOnLoopback() ? null : await loopbackPermission();
    if (permission && permission.state === "denied") return new Failure("error-blocked");
    // The browser's question was closed without an answer: ask for the click again.
    if (permission && permission.state === "prompt") {
      return new Failure("permission", "", "浏览器的询问没有得到回答，请再点击一次并选择“允许”。");
    }
    const refusing = refusingBrowser();
    if (refusing) return new Failure("error-refused", "", REFUSED_HINTS[refusing]);
    return new Failure("error-offline");
  }

  async function bridgeFetch(link, route, init) {
    let resp;
    try {
      resp = await fetch(bridgeUrl(link, route), {
        ...LOOPBACK_INIT,
        cache: "no-store",
        credentials: "omit",
        ...init,
      });
    } catch (e) {
      // No answer at all: the browser kept the request from leaving, or nothing listens on
      // the port any more (the bridge has ended, Blender is closed).
      throw await unreachable();
    }
    if (resp.status === 404) throw new Failure("error-expired");
    if (resp.status === 410) throw new Failure("error-gone");
    if (!resp.ok) throw new Failure("error-bridge", `HTTP ${resp.status}`);
    return resp;
  }

  async function fetchMeta(link) {
    const resp = await bridgeFetch(link, "/meta");
    let meta;
    try {
      meta = await resp.json();
    } catch (e) {
      throw new Failure("error-bridge", "元数据不是 JSON");
    }
    if (!meta || typeof meta !== "object" || Array.isArray(meta)) {
      throw new Failure("error-bridge", "元数据格式错误");
    }
    return meta;
  }

  // Streams /asset into one buffer, reporting progress against Content-Length
  // (or the size from /meta when the header is missing).
  async function fetchAsset(link, meta, onProgress) {
    const resp = await bridgeFetch(link, "/asset");
    const header = resp.headers.get("Content-Length");
    let total = header !== null && /^[0-9]+$/.test(header) ? Number(header) : NaN;
    if (!Number.isFinite(total) && Number.isInteger(meta.size)) total = meta.size;
    const type = (resp.headers.get("Content-Type") || meta.mime || "application/octet-stream").split(";")[0];

    const known = Number.isFinite(total);
    const buffer = known ? new Uint8Array(total) : null;
    const chunks = [];
    let received = 0;
    onProgress(0, total);
    try {
      const reader = resp.body.getReader();
      for (;;) {
        const { done, value } = await reader.read();
        if (done) break;
        if (known) {
          if (received + value.length > total) {
            reader.cancel();
            throw new Failure("error-bridge", "收到的数据多于声明的大小");
          }
          buffer.set(value, received);
        } else {
          chunks.push(value);
        }
        received += value.length;
        onProgress(received, total);
      }
    } catch (e) {
      if (e instanceof Failure) throw e;
      throw new Failure("error-offline", `传输在 ${formatMB(received)} 处中断`);
    }
    if (known && received !== total) {
      throw new Failure("error-offline", `只收到 ${formatMB(received)}，应为 ${formatMB(total)}`);
    }
    const bytes = known ? buffer : new Uint8Array(await new Blob(chunks).arrayBuffer());
    return { bytes, blob: new Blob([bytes], { type }) };
  }

  async function sha256Hex(bytes) {
    if (!(window.crypto && crypto.subtle)) return null;
    const digest = await crypto.subtle.digest("SHA-256", bytes);
    return Array.from(new Uint8Array(digest), (b) => b.toString(16).padStart(2, "0")).join("");
  }

  async function postDone(link) {
    try {
      await bridgeFetch(link, "/done", { method: "POST" });
      return true;
    } catch (e) {
      return false;
    }
  }

  // ---- a file picked by hand -------------------------------------------------------

  // What the page knows of the asset without the bridge: the link's kind, and the metadata
  // when /meta could be read before the browser stopped the page.
  let knownMeta = null;

  function showFallback(visible) {
    $("fallback").hidden = !visible;
    if (!visible) return;
    const name = knownMeta && knownMeta.filename ? `（${knownMeta.filename}）` : "（文件名以 lumo_stage_ 开头）";
    const kind = KINDS[document.body.dataset.kind] || KINDS.image;
    $("fallback-hint").textContent =
      `在 Blender 的 Tavro 面板里点击素材旁的文件夹图标（“显示文件”），找到刚发送的${kind.label}${name}，把它拖到下面的框里，或点击框选择文件。`;
    $("file").accept = `${kind.mime},${kind.ext}`;
  }

  function fallbackNote(text, ok) {
    const note = $("fallback-note");
    note.hidden = !text;
    note.textContent = text || "";
    note.classList.toggle("is-error", !ok);
    document.body.dataset.fallback = text ? (ok ? "accepted" : "rejected") : "";
  }

  // The first bytes of the picked file, its kind and size checked against what is known. Returns
  // the reason it is refused, or "".
  async function checkPicked(file, kind) {
    const spec = KINDS[kind];
    if (!file.size) return "所选文件是空的。";
    const head = new Uint8Array(await file.slice(0, 16).arrayBuffer());
    const named = file.name.toLowerCase().endsWith(spec.ext) || file.type === spec.mime;
    if (!named || !spec.sniff(head)) return `所选文件不是 Blender 发送的${spec.label}（应为 ${spec.ext} 文件）。`;
    if (knownMeta && Number.isInteger(knownMeta.size) && knownMeta.size !== file.size) {
      return `所选文件大小为 ${formatMB(file.size)}，Blender 发送的是 ${formatMB(knownMeta.size)}，请选择刚发送的文件。`;
    }
    if (file.size > spec.maxBytes) return `所选文件超过 ${spec.maxBytes / MB} MB 的上限。`;
    return "";
  }

  async function importPicked(link, file) {
    if (running || !file) return;
    const refused = await checkPicked(file, link.kind);
    if (refused) {
      fallbackNote(refused, false);
      return;
    }
    fallbackNote(`已选择 ${file.name}（${formatMB(file.size)}）。`, true);
    const spec = KINDS[link.kind];
    const meta = { ...(knownMeta || {}), kind: link.kind, filename: file.name, size: file.size, mime: spec.mime };
    const blob = file.slice(0, file.size, spec.mime);
    await transfer(async () => {
      clearPreview();
      showMeta(meta);
      showPreview(blob, link.kind, meta);
      const stored = await uploadChecked(blob, new Uint8Array(await blob.arrayBuffer()), meta);
      // The bridge was never reached, so it gets no /done: it closes by itself.
      document.body.dataset.source = "file";
      finish(stored, false, "素材来自手动选择的文件，Blender 的本地传输服务没有收到完成通知，会在到期后自行关闭，无需处理。");
    });
  }

  function setupFallback(link) {
    const input = $("file");
    const drop = $("drop");
    input.addEventListener("change", () => {
      const file = input.files[0];
      input.value = ""; // the same file may be picked again after a failed upload
      importPicked(link, file);
    });
    drop.addEventListener("dragover", (e) => {
      e.preventDefault();
      drop.classList.add("is-over");
    });
    drop.addEventListener("dragleave", () => drop.classList.remove("is-over"));
    drop.addEventListener("drop", (e) => {
      e.preventDefault();
      drop.classList.remove("is-over");
      importPicked(link, e.dataTransfer.files[0]);
    });
  }

  // ---- upload to the site ----------------------------------------------------

  function upload(blob, meta, onProgress) {
    return new Promise((resolve, reject) => {
      const xhr = new XMLHttpRequest();
      xhr.open("POST", UPLOAD_URL);
      xhr.responseType = "json";
      xhr.setRequestHeader("Content-Type", blob.type || "application/octet-stream");
      xhr.setRequestHeader("X-Asset-Meta", encodeURIComponent(JSON.stringify(meta)));
      xhr.upload.onprogress = (e) => onProgress(e.loaded, e.lengthComputable ? e.total : blob.size);
      xhr.onload = () => {
        const body = xhr.response;
        if (xhr.status >= 200 && xhr.status < 300 && body && typeof body.id === "string") {
          resolve(body);
        } else {
          const why = body && body.error ? `：${body.error}` : "";
          reject(new Failure("error-upload", `站点返回 HTTP ${xhr.status}${why}`));
        }
      };
      xhr.onerror = () => reject(new Failure("error-upload", "网络错误"));
      xhr.onabort = () => reject(new Failure("error-upload", "上传被中止"));
      xhr.send(blob);
    });
  }

  // ---- the import run ----------------------------------------------------------

  let running = false;

  // One attempt of `body`, counted in data-attempts; a failure shows its state.
  async function transfer(body) {
    if (running) return;
    running = true;
    document.body.dataset.attempts = String(Number(document.body.dataset.attempts || 0) + 1);
    $("result").hidden = true;
    try {
      await body();
    } catch (e) {
      const failure = e instanceof Failure ? e : new Failure("error-bridge", String(e && e.message ? e.message : e));
      setState(failure.state, failure.detail, failure.hint);
    } finally {
      running = false;
    }
  }

  // Uploads the bytes and checks that the site stored exactly them.
  async function uploadChecked(blob, bytes, meta) {
    setState("upload");
    const localSha = await sha256Hex(bytes);
    const stored = await upload(blob, meta, (d, t) => showProgress("upload", d, t));
    if (stored.size !== bytes.length || (localSha && stored.sha256 !== localSha)) {
      throw new Failure("error-upload", "站点保存的文件与 Blender 发送的不一致");
    }
    return stored;
  }

  function finish(stored, acknowledged, noteText) {
    document.body.dataset.uploadId = stored.id;
    document.body.dataset.doneAck = acknowledged ? "1" : "0";
    $("upload-id").textContent = stored.id;
    const note = $("result-note");
    note.hidden = acknowledged;
    note.textContent = acknowledged ? "" : noteText;
    $("result").hidden = false;
    setState("done");
  }

  function run(link) {
    return transfer(async () => {
      setState("meta");
      const meta = await fetchMeta(link);
      knownMeta = meta;
      const kind = kindOf(meta.kind) ? meta.kind : link.kind;
      clearPreview();
      showMeta(meta);

      setState("download");
      const asset = await fetchAsset(link, meta, (d, t) => showProgress("download", d, t));
      showPreview(asset.blob, kind, meta);
      const stored = await uploadChecked(asset.blob, asset.bytes, meta);

      // Only a stored upload ends the bridge; until here every failure keeps
      // it alive for a retry.
      setState("finish");
      const acknowledged = await postDone(link);
      finish(stored, acknowledged, "未能通知 Blender，本地传输服务将在到期后自行关闭。");
    });
  }

  async function start() {
    const link = parseLink(location.hash);
    if (!link) {
      setState("error-link");
      return;
    }
    document.body.dataset.kind = link.kind;
    $("retry").addEventListener("click", () => run(link));
    $("connect").addEventListener("click", () => run(link));
    setupFallback(link);

    const permission = pageOnLoopback() ? null : await loopbackPermission();
    if (permission) {
      document.body.dataset.permission = permission.state;
      // Allowed later in the site settings (or by answering the browser): go on by itself.
      permission.addEventListener("change", () => {
        document.body.dataset.permission = permission.state;
        const waiting = ["permission", "error-blocked"].includes(document.body.dataset.state);
        if (permission.state === "granted" && waiting) run(link);
      });
      // The first bridge request comes from the user's click, so the browser's question
      // follows what the page has just explained.
      if (permission.state === "prompt") return setState("permission");
      if (permission.state === "denied") return setState("error-blocked");
    }
    run(link);
  }

  if (document.readyState === "loading") {
    document.addEventListener("DOMContentLoaded", start);
  } else {
    start();
  }
})();
