// The page around the show: loads the data files, waits for a click or a key
// (browsers allow sound only after one), turns the page's query into the
// program's command line, runs it, and shows how it ended.
//
// Query: ?script=engine  ?show=FILE  ?depth=32|24|16|16:555|8  ?stats  ?virtual&fps=N
// (the same as --script, --show, --depth, --stats and --headless --fps N); ?plain
// loads the build without WebAssembly SIMD even where SIMD runs; ?digests
// (with ?virtual) fills yurn.digests.
//
// Two builds of the program sit beside the page: yurn.js + yurn.wasm with
// WebAssembly SIMD and yurn-plain.js + yurn-plain.wasm without; the page
// loads the first where the browser validates a small SIMD module, else the
// second.  files.json lists the data files of each show
// ({"show": [paths], "engine": [paths], "sizes": {path: bytes}}): only the
// chosen show's are fetched, with the program's .wasm, under a progress bar;
// the browser's cache keeps them.  A site built for a show of its own
// (scripts/web.sh --show DIR) lists "show.toml" among the files of "show"
// and plays it unless the query names a script or a show file.
//
// window.yurn holds the page's state for whoever drives it (the browser tests):
// state ('loading', 'ready', 'running', 'ended'), code (exit code), error
// (the text of an "Error" box), digests (per presented frame with ?virtual&digests),
// work (ms spent in the program for each real-time frame), runMs (ms from
// main's start to the end), simd (whether the SIMD build was loaded).
'use strict';

(function () {
  const FRAME_WIDTH = 320;
  const FRAME_HEIGHT = 240;

  const canvas = document.getElementById('lienzo');
  const prompt = document.getElementById('inicio');
  const endPanel = document.getElementById('fin');
  const errorPanel = document.getElementById('error');
  const statsPanel = document.getElementById('estadisticas');
  const progress = document.getElementById('progreso');
  const query = new URLSearchParams(location.search);
  const virtualClock = query.has('virtual');

  // A module of one function that splats a byte and counts its bits: it
  // validates only where WebAssembly SIMD (128-bit) is there.
  const SIMD_PROBE = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 10, 1, 8,
                                     0, 65, 0, 253, 15, 253, 98, 11]);
  function simdRuns() {
    try {
      return typeof WebAssembly === 'object' && WebAssembly.validate(SIMD_PROBE);
    } catch (e) {
      return false;
    }
  }
  const useSimd = !query.has('plain') && simdRuns();
  const build = useSimd ? 'yurn' : 'yurn-plain';

  const yurn = {
    state: 'loading',
    code: null,
    error: null,
    digests: [],
    work: [],
    runMs: null,
    stderr: [],
    simd: useSimd,
  };
  window.yurn = yurn;
  let files = [];  // [path, Uint8Array]
  let program = null;  // the compiled .wasm, instantiated anew for every run
  let current = null;  // the running program's module

  // The show the command line will run: the last script key, as the options read it.
  function chosenScript() {
    let script = 'show';
    for (const [key, value] of query) if (key === 'script') script = value;
    return script;
  }

  // Every key in the order given, as the command line takes its options: a
  // repeated one is checked each time and the last one counts
  // (?depth=32&depth=7 is refused as --depth 32 --depth 7 is).  Other keys
  // are left alone: hosts and links add their own.
  function commandLine() {
    const args = [];
    for (const [key, value] of query) {
      if (key === 'script' || key === 'depth' || key === 'fps' || key === 'show') args.push('--' + key, value);
      else if (key === 'stats') args.push('--stats');
      else if (key === 'virtual') args.push('--headless');
    }
    const bundled = files.some(([path]) => path === 'show.toml');
    if (bundled && !query.has('script') && !query.has('show')) args.unshift('--show', 'show.toml');
    return args;
  }

  // The largest integer scale of the frame that fits the window.
  function fit() {
    const scale = Math.max(1, Math.floor(Math.min(innerWidth / FRAME_WIDTH, innerHeight / FRAME_HEIGHT)));
    canvas.style.width = FRAME_WIDTH * scale + 'px';
    canvas.style.height = FRAME_HEIGHT * scale + 'px';
    yurn.scale = scale;
  }

  function toggleFullScreen() {
    if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
    else if (document.documentElement.requestFullscreen) document.documentElement.requestFullscreen().catch(() => {});
  }

  function showError(caption, text) {
    yurn.error = text;
    document.getElementById('error-titulo').textContent = caption;
    document.getElementById('error-texto').textContent = text;
    errorPanel.hidden = false;
    console.error(caption + ': ' + text);
  }

  function ended(code) {
    if (yurn.state === 'ended') return;
    yurn.state = 'ended';
    yurn.code = code;
    // A show that ran to its end keeps its display; its key listeners go now.
    if (current && current.yurnUnlisten) current.yurnUnlisten();
    if (yurn.startedAt !== undefined) yurn.runMs = performance.now() - yurn.startedAt;
    document.body.classList.remove('jugando');
    // A refused command line says why only on standard error: show it too.
    if (code === 2 && !yurn.error && yurn.stderr.length) showError('Error', yurn.stderr.join('\n'));
    document.getElementById('codigo').textContent = String(code);
    endPanel.hidden = false;
  }

  function printErr(text) {
    yurn.stderr.push(text);
    console.error(text);
    if (query.has('stats')) {
      statsPanel.textContent = yurn.stderr.join('\n');
      statsPanel.hidden = false;
    }
  }

  // {"show": [paths], ...} with an optional "sizes": {path: bytes}.
  function validManifest(manifest) {
    if (!manifest || typeof manifest !== 'object' || Array.isArray(manifest)) return false;
    return Object.entries(manifest).every(([key, value]) => key === 'sizes'
      ? value && typeof value === 'object' && Object.values(value).every((n) => Number.isFinite(n) && n >= 0)
      : Array.isArray(value) && value.every((path) => typeof path === 'string' && path !== ''));
  }

  function loadScript(src) {
    return new Promise((resolve, reject) => {
      const script = document.createElement('script');
      script.src = src;
      script.onload = resolve;
      script.onerror = () => reject(new Error(`No se pudo cargar "${src}"`));
      document.head.appendChild(script);
    });
  }

  // The body of url as bytes, counted into the progress bar as it arrives;
  // null when it cannot be had.
  async function fetchCounted(url, counted) {
    try {
      const response = await fetch(url);
      if (!response.ok) return null;
      if (!response.body || !response.body.getReader) {
        const bytes = new Uint8Array(await response.arrayBuffer());
        counted(bytes.length);
        return bytes;
      }
      const reader = response.body.getReader();
      const chunks = [];
      let length = 0;
      for (;;) {
        const { done, value } = await reader.read();
        if (done) break;
        chunks.push(value);
        length += value.length;
        counted(value.length);
      }
      const bytes = new Uint8Array(length);
      let at = 0;
      for (const chunk of chunks) {
        bytes.set(chunk, at);
        at += chunk.length;
      }
      return bytes;
    } catch (e) {
      return null;
    }
  }

  // A missing files.json gives no files (the program names the first it
  // misses), and so does a show it does not list (the program refuses an
  // unknown one); one that is not a list per show is the page's own fault.
  async function load() {
    const manifest = await fetch('files.json').then((r) => (r.ok ? r.json() : {}), () => ({})).catch(() => null);
    if (!validManifest(manifest))
      throw new Error('El fichero "files.json" no es una lista de ficheros por espectáculo (JSON) válida');
    const script = chosenScript();
    const paths = Object.prototype.hasOwnProperty.call(manifest, script) && script !== 'sizes' ? manifest[script] : [];
    const sizes = manifest.sizes || {};
    const wasm = build + '.wasm';
    const total = [wasm, ...paths].reduce((sum, path) => sum + (sizes[path] || 0), 0);
    let received = 0;
    const counted = (n) => {
      received += n;
      if (total > 0) progress.value = Math.min(1, received / total);
    };
    if (total === 0) progress.removeAttribute('value');  // sizes unknown: a bar that only says "busy"
    progress.hidden = false;
    const [bytes, , ...data] = await Promise.all([
      fetchCounted(wasm, counted),
      loadScript(build + '.js'),
      ...paths.map((path) => fetchCounted(path, counted)),
    ]);
    // A missing file is the program's to report, as natively.
    files = paths.map((path, i) => (data[i] ? [path, data[i]] : null)).filter(Boolean);
    if (bytes) program = await WebAssembly.compile(bytes);
    progress.value = 1;
    progress.hidden = true;
  }

  function writeFiles(module) {
    for (const [path, bytes] of files) {
      const parts = path.split('/');
      for (let i = 1; i < parts.length; i++) {
        const dir = '/' + parts.slice(0, i).join('/');
        try { module.FS.mkdir(dir); } catch (e) { /* already there */ }
      }
      module.FS.writeFile('/' + path, bytes);
    }
  }

  async function start() {
    if (yurn.state !== 'ready') return;
    yurn.state = 'running';
    yurn.code = null;
    yurn.error = null;
    yurn.digests = [];
    yurn.work = [];
    yurn.stderr = [];
    prompt.hidden = true;
    endPanel.hidden = true;
    errorPanel.hidden = true;
    const old = document.getElementById('yurn-musica');
    if (old) { old.pause(); old.remove(); }
    document.body.classList.add('jugando');

    const module = await createYurn({
      canvas: canvas,
      print: (text) => console.log(text),
      printErr: printErr,
      onExit: ended,
      onAbort: (what) => { showError('Error', String(what)); ended(1); },
      yurnMessageBox: showError,
      // Hashing every frame is work for the tests only: ?digests asks for it.
      yurnFrame: query.has('digests') ? (frame, high, low) => {
        yurn.digests[frame] = high.toString(16).padStart(8, '0') + low.toString(16).padStart(8, '0');
      } : undefined,
      yurnWork: (ms) => yurn.work.push(ms),
      // The module compiled while loading; without it the program fetches its own.
      instantiateWasm: program ? (imports, receive) => {
        WebAssembly.instantiate(program, imports).then((instance) => receive(instance, program),
                                                      (e) => { showError('Error', String(e && e.message || e)); ended(1); });
        return {};
      } : undefined,
    });
    current = module;
    writeFiles(module);
    const args = ['yurn'].concat(commandLine());
    const argv = module._malloc(4 * (args.length + 1));
    args.forEach((arg, i) => { module.HEAP32[(argv >> 2) + i] = module.allocateUTF8(arg); });
    module.HEAP32[(argv >> 2) + args.length] = 0;
    yurn.startedAt = performance.now();
    // main runs suspended and resumed (Asyncify); its result ends the program
    // through exit(), which runs its atexit work and then onExit.
    const code = await module.ccall('main', 'number', ['number', 'number'], [args.length, argv], { async: true });
    try {
      module._exit(code);
    } catch (e) {
      // exit() ends by throwing out of the program; onExit has run.
    }
    ended(code);
  }

  function gesture(event) {
    if (yurn.state !== 'ready') return;
    if (event) event.preventDefault();
    start().catch((e) => {
      if (e && e.name === 'ExitStatus') return;  // exit() inside the program: onExit has run
      showError('Error', String(e && e.message || e));
      ended(1);
    });
  }

  addEventListener('resize', fit);
  document.addEventListener('fullscreenchange', fit);
  document.addEventListener('keydown', (event) => {
    if (yurn.state === 'ready') return gesture(event);
    if ((event.key === 'f' || event.key === 'F') && !event.repeat) toggleFullScreen();
  });
  document.addEventListener('click', (event) => {
    if (event.target.id !== 'otra-vez') gesture(event);
  });
  document.addEventListener('dblclick', toggleFullScreen);
  // Only from the end: a second click (or a script's) while the show it
  // started runs would start another program over the first.
  document.getElementById('otra-vez').addEventListener('click', () => {
    if (yurn.state !== 'ended') return;
    yurn.state = 'ready';
    gesture();
  });
  fit();

  load().then(() => {
    yurn.state = 'ready';
    if (virtualClock) return gesture();  // no sound, nothing to wait for
    prompt.textContent = 'Haz clic o pulsa una tecla para empezar';
  }, (e) => {
    prompt.hidden = true;
    progress.hidden = true;
    showError('Error', String(e && e.message || e));
    ended(1);
  });
})();
