// Import page for assets sent from the Blender add-on.
//
// The add-on opens  /import/blender#port=P&token=T&kind=image|video  and keeps
// a small HTTP server (the bridge) on 127.0.0.1:P that serves one asset. This
// page fetches GET /meta and GET /asset from it with the token in the query,
// shows the asset, uploads it to this site and, only after the upload has
// been stored, tells the bridge with POST /done so that it can close. A failed
// upload leaves the bridge running, so "重试" can fetch and upload again.
//
// The current step is mirrored in <body data-state>, for tests and styling:
//   init, meta, download, upload, finish, done,
//   error-link, error-expired, error-gone, error-offline, error-bridge, error-upload
"use strict";

(() => {
  const UPLOAD_URL = "/api/upload";
  const BRIDGE_HOST = "127.0.0.1";
  const MB = 1048576;

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
    "error-offline": "无法连接到 Blender：Blender 可能已关闭，或本地传输服务已结束。如果 Blender 仍在运行，请点击“重试”；否则请在 Blender 中重新发送。",
    "error-bridge": "Blender 返回了无法识别的应答，请点击“重试”或在 Blender 中重新发送。",
    "error-upload": "上传到 Canvas 失败，素材尚未保存。Blender 仍在等待，可以点击“重试”重新上传。",
  };
  // States after which repeating the fetch and upload can still succeed.
  const RETRYABLE = new Set(["error-gone", "error-offline", "error-bridge", "error-upload"]);
  const STEP_LABEL = { download: "接收", upload: "上传" };

  const $ = (id) => document.getElementById(id);

  class Failure extends Error {
    constructor(state, detail) {
      super(detail || state);
      this.state = state;
      this.detail = detail || "";
    }
  }

  // The asset kinds the add-on sends, with the name the page shows and the element that
  // previews each.
  const KINDS = { image: { label: "图片", element: "img" }, video: { label: "视频", element: "video" } };
  const isKind = (kind) => Object.prototype.hasOwnProperty.call(KINDS, kind);

  function parseLink(hash) {
    const params = new URLSearchParams(hash.replace(/^#/, ""));
    const port = params.get("port") || "";
    const token = params.get("token") || "";
    const kind = params.get("kind") || "";
    if (!/^[0-9]{1,5}$/.test(port)) return null;
    const portNum = Number(port);
    if (portNum < 1 || portNum > 65535 || !token) return null;
    if (!isKind(kind)) return null;
    return { port: portNum, token, kind };
  }

  // ---- page state --------------------------------------------------------

  function setState(state, detail) {
    document.body.dataset.state = state;
    const status = $("status");
    status.textContent = MESSAGES[state] || state;
    if (detail) {
      const small = document.createElement("span");
      small.className = "detail";
      small.textContent = "（" + detail + "）";
      status.append(small);
    }
    status.classList.toggle("is-error", state.startsWith("error"));
    status.classList.toggle("is-done", state === "done");
    $("retry").hidden = !RETRYABLE.has(state);
    $("progress").hidden = !(state in STEP_LABEL);
    if (state in STEP_LABEL) showProgress(state, 0, NaN);
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
    if ("kind" in meta) add("类型", isKind(meta.kind) ? KINDS[meta.kind].label : String(meta.kind), "kind");
    if ("width" in meta && "height" in meta) add("尺寸", `${meta.width} × ${meta.height}`, "width", "height");
    if ("fps" in meta) add("帧率", `${num(meta.fps, 3)} fps`, "fps");
    if ("frames" in meta) add("帧数", String(meta.frames), "frames");
    if ("duration" in meta) add("时长", `${num(meta.duration, 2)} 秒`, "duration");
    if ("truncated" in meta) add("已截断", meta.truncated ? "是，超出时长上限的部分已截去" : "否", "truncated");
    if ("frame" in meta) add("帧", String(meta.frame), "frame");
    if ("camera" in meta) add("相机", String(meta.camera), "camera");
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
    const el = document.createElement(KINDS[kind].element);
    if (KINDS[kind].element === "video") {
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

  async function bridgeFetch(link, route, init) {
    let resp;
    try {
      resp = await fetch(bridgeUrl(link, route), { cache: "no-store", credentials: "omit", ...init });
    } catch (e) {
      // No answer at all: the bridge has ended, Blender is closed, or the
      // browser refused the response.
      throw new Failure("error-offline");
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

  async function run(link) {
    if (running) return;
    running = true;
    document.body.dataset.attempts = String(Number(document.body.dataset.attempts || 0) + 1);
    $("result").hidden = true;
    try {
      setState("meta");
      const meta = await fetchMeta(link);
      const kind = isKind(meta.kind) ? meta.kind : link.kind;
      clearPreview();
      showMeta(meta);

      setState("download");
      const asset = await fetchAsset(link, meta, (d, t) => showProgress("download", d, t));
      showPreview(asset.blob, kind, meta);

      setState("upload");
      const localSha = await sha256Hex(asset.bytes);
      const stored = await upload(asset.blob, meta, (d, t) => showProgress("upload", d, t));
      if (stored.size !== asset.bytes.length || (localSha && stored.sha256 !== localSha)) {
        throw new Failure("error-upload", "站点保存的文件与 Blender 发送的不一致");
      }

      // Only a stored upload ends the bridge; until here every failure keeps
      // it alive for a retry.
      setState("finish");
      const acknowledged = await postDone(link);
      document.body.dataset.uploadId = stored.id;
      document.body.dataset.doneAck = acknowledged ? "1" : "0";
      $("upload-id").textContent = stored.id;
      const note = $("result-note");
      note.hidden = acknowledged;
      note.textContent = acknowledged ? "" : "未能通知 Blender，本地传输服务将在到期后自行关闭。";
      $("result").hidden = false;
      setState("done");
    } catch (e) {
      const failure = e instanceof Failure ? e : new Failure("error-bridge", String(e && e.message ? e.message : e));
      setState(failure.state, failure.detail);
    } finally {
      running = false;
    }
  }

  function start() {
    const link = parseLink(location.hash);
    if (!link) {
      setState("error-link");
      return;
    }
    document.body.dataset.kind = link.kind;
    $("retry").addEventListener("click", () => run(link));
    run(link);
  }

  if (document.readyState === "loading") {
    document.addEventListener("DOMContentLoaded", start);
  } else {
    start();
  }
})();
