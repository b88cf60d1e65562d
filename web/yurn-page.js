// The page around the show: loads the data files, waits for a click or a key
// (browsers allow sound only after one), turns the page's query into the
// program's command line, runs it, and shows how it ended.
//
// Query: ?script=engine  ?show=FILE  ?depth=32|24|16|16:555|8  ?stats  ?virtual&fps=N
// ?t=SECONDS  ?loop  ?paused
// (the same as --script, --show, --depth, --stats, --headless --fps N,
// --from, --loop and --paused); ?plain
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
// The sound track is fetched with the data and decoded into a Web Audio
// buffer before the prompt, so that it starts with the first frame; the
// program's web backend plays it and keeps it on the show's clock.
//
// window.yurn holds the page's state for whoever drives it (the browser tests):
// state ('loading', 'ready', 'running', 'ended'), code (exit code), error
// (the text of an "Error" box), digests (per presented frame with ?virtual&digests),
// work (ms spent in the program for each real-time frame), runMs (ms from
// main's start to the end), simd (whether the SIMD build was loaded), scale
// (device pixels per show pixel), audio (the AudioContext and the decoded
// track; music: where the playing track was started, set by the program's
// web backend), player (the player's state,
// read once a frame: time, length, frame, paused, looping, muted).
//
// The player's controls under the canvas (the pause button, the seek bar)
// and its keys send commands to the program's player (Module.yurnCommand in
// platform/web.cpp); its screenshots come as downloads.
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
  const keysPanel = document.getElementById('teclas');
  const retry = document.getElementById('reintentar');
  const controls = document.getElementById('mandos');
  const pauseButton = document.getElementById('pausa');
  const seekBar = document.getElementById('barra');
  const timeText = document.getElementById('tiempo');
  // The player's commands the page's controls send (platform/platform.h's
  // PlayerCommand; a seek to a time comes with it in ms).
  const PLAYER_PAUSE = 1;
  const PLAYER_SEEK_TO = 13;
  // Room for the controls under the canvas, in CSS pixels.
  const CONTROLS_HEIGHT = 40;
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
    scale: 1,
    audio: null,
    get player() { return current && current.yurnPlayer; },
  };
  window.yurn = yurn;
  let files = [];  // [path, Uint8Array]
  let program = null;  // the compiled .wasm, instantiated anew for every run
  let current = null;  // the running program's module
  let loaded = false;  // every file is here: a retry starts the show again, else it reloads the page
  let shows = [];  // the shows files.json lists
  let song = null;  // the sound track's path (files.json's "music"), fetched and decoded before the prompt

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
      else if (key === 't') args.push('--from', value);
      else if (key === 'stats' || key === 'loop' || key === 'paused') args.push('--' + key);
      else if (key === 'virtual') args.push('--headless');
    }
    const bundled = files.some(([path]) => path === 'show.toml');
    if (bundled && !query.has('script') && !query.has('show')) args.unshift('--show', 'show.toml');
    return args;
  }

  // The largest integer scale of the frame that fits the window, counted in
  // device pixels: every show pixel is scale x scale device pixels (at a
  // device pixel ratio of 1.5 a scale of 3 in CSS pixels would make columns
  // of 4 and 5), and the canvas is placed on whole device pixels.
  function fit() {
    const ratio = window.devicePixelRatio || 1;
    const across = Math.floor(innerWidth * ratio), down = Math.floor(Math.max(0, innerHeight - CONTROLS_HEIGHT) * ratio);
    const scale = Math.max(1, Math.floor(Math.min(across / FRAME_WIDTH, down / FRAME_HEIGHT)));
    const width = FRAME_WIDTH * scale, height = FRAME_HEIGHT * scale;
    canvas.style.width = width / ratio + 'px';
    canvas.style.height = height / ratio + 'px';
    canvas.style.left = Math.max(0, Math.floor((across - width) / 2)) / ratio + 'px';
    canvas.style.top = Math.max(0, Math.floor((down - height) / 2)) / ratio + 'px';
    yurn.scale = scale;
    controls.style.left = canvas.style.left;
    controls.style.width = canvas.style.width;
    controls.style.top = (Math.floor((down - height) / 2) + height) / ratio + 'px';
  }

  // The controls follow the player's state once a frame while the show runs.
  function seconds(ms) {
    return (Math.max(0, ms) / 1000).toFixed(1);
  }
  function followPlayer() {
    if (yurn.state !== 'running') return;
    requestAnimationFrame(followPlayer);
    const state = yurn.player;
    if (!state) return;  // the program is not listening yet
    pauseButton.textContent = state.paused ? 'Seguir' : 'Pausa';
    pauseButton.setAttribute('aria-label', pauseButton.textContent);
    if (state.length > 0) seekBar.max = String(state.length);
    if (!seekBar.matches(':active')) seekBar.value = String(state.time);
    timeText.textContent = `${seconds(seekBar.matches(':active') ? Number(seekBar.value) : state.time)} / ` +
      `${seconds(state.length)} s`;
  }
  function command(player, value) {
    if (yurn.state === 'running' && current && current.yurnCommand) current.yurnCommand(player, value);
  }

  // A screenshot the player wrote (its report names the file): a download,
  // and the file goes from the program's memory.
  function download(name) {
    try {
      const bytes = current.FS.readFile(name);
      const link = document.createElement('a');
      link.href = URL.createObjectURL(new Blob([bytes], { type: 'image/png' }));
      link.download = name;
      document.body.appendChild(link);
      link.click();
      link.remove();
      setTimeout(() => URL.revokeObjectURL(link.href), 60_000);
      current.FS.unlink(name);
    } catch (e) {
      console.warn(`no se pudo descargar la captura ${name}`);
    }
  }

  function toggleFullScreen() {
    if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
    else if (document.documentElement.requestFullscreen) document.documentElement.requestFullscreen().catch(() => {});
  }

  // One panel at a time: the box replaces the end panel and takes the focus
  // for its button.
  function showError(caption, text) {
    yurn.error = text;
    document.getElementById('error-titulo').textContent = caption;
    document.getElementById('error-texto').textContent = text;
    endPanel.hidden = true;
    prompt.hidden = true;
    errorPanel.hidden = false;
    retry.focus();
    console.error(caption + ': ' + text);
  }

  // What the program says of its command line, said of the page's address:
  // the query key instead of the option, the page's shows instead of --help.
  function inPageTerms(text) {
    const options = { '--depth': '?depth=', '--fps': '?fps=', '--script': '?script=', '--headless': '?virtual',
                      '--stats': '?stats', '--show': '?show=', '--from': '?t=', '--loop': '?loop', '--paused': '?paused' };
    return text.split('\n')
      .filter((line) => line !== '' && !/--help muestra/.test(line))
      .map((line) => line.replace(/^yurn: /, '')
        .replace(/\(--help los enumera\)/, `(esta página tiene: ${shows.join(', ')})`)
        .replace(/--[a-z]+/g, (option) => options[option] ?? option))
      .join('\n') + '\n(en la dirección de la página)';
  }

  // An abort inside the program is the program's fault, not the user's: a
  // Spanish line in the box, the runtime's own words on the console.
  function aborted(what) {
    console.error(String(what));
    showError('Error', 'El programa se ha detenido por un fallo interno (los detalles están en la consola del navegador).');
    ended(1);
  }

  function stopMusic() {
    if (current && current.yurnStopMusic) current.yurnStopMusic();
  }

  function ended(code) {
    if (yurn.state === 'ended') return;
    yurn.state = 'ended';
    yurn.code = code;
    // A show that ran to its end keeps its display; its key listeners and
    // its music go now (the process that played it has ended).
    if (current && current.yurnUnlisten) current.yurnUnlisten();
    stopMusic();
    if (yurn.startedAt !== undefined) yurn.runMs = performance.now() - yurn.startedAt;
    document.body.classList.remove('jugando');
    keysPanel.hidden = false;
    // A refused command line says why only on standard error: show it too.
    if (code === 2 && !yurn.error && yurn.stderr.length) showError('Error', inPageTerms(yurn.stderr.join('\n')));
    if (query.has('stats')) showStats();
    document.getElementById('codigo').textContent = String(code);
    if (yurn.error === null) endPanel.hidden = false;
  }

  // ?stats: the program's report (the music's offset to the picture among
  // it) in a panel on the page; the console gets it as information, not as
  // errors.
  function showStats() {
    const lines = yurn.stderr.slice();
    statsPanel.textContent = lines.join('\n');
    statsPanel.hidden = lines.length === 0;
  }

  function printErr(text) {
    yurn.stderr.push(text);
    if (query.has('stats')) {
      console.log(text);
      showStats();
    } else {
      console.error(text);
    }
    const shot = /guardado en (yurn-[^/]*\.png)$/.exec(text);
    if (shot && current) download(shot[1]);
  }

  // {"show": [paths], ...} with an optional "sizes": {path: bytes} and
  // "music": the sound track's path.
  function validManifest(manifest) {
    if (!manifest || typeof manifest !== 'object' || Array.isArray(manifest)) return false;
    return Object.entries(manifest).every(([key, value]) => key === 'sizes'
      ? value && typeof value === 'object' && Object.values(value).every((n) => Number.isFinite(n) && n >= 0)
      : key === 'music' ? typeof value === 'string' && value !== ''
      : Array.isArray(value) && value.every((path) => typeof path === 'string' && path !== ''));
  }

  // A script element says nothing of why it failed: the same URL fetched
  // again gives the status.
  function loadScript(src) {
    return new Promise((resolve, reject) => {
      const script = document.createElement('script');
      script.src = src;
      script.onload = resolve;
      script.onerror = () => fetch(src).then((r) => reject(r.ok ? new Error(`No se pudo cargar "${src}"`)
                                                                 : fetchFailure(src, r)),
                                             () => reject(fetchFailure(src, null)));
      document.head.appendChild(script);
    });
  }

  // Why url could not be had, naming it and the server's answer.
  function fetchFailure(url, response) {
    return new Error(response
      ? `No se pudo descargar "${url}": el servidor respondió HTTP ${response.status}` +
        (response.statusText ? ` (${response.statusText})` : '')
      : `No se pudo descargar "${url}": no hubo respuesta del servidor`);
  }

  // The body of url as bytes, counted into the progress bar as it arrives;
  // an error naming the URL and the HTTP status when it cannot be had.
  async function fetchCounted(url, counted) {
    let response;
    try {
      response = await fetch(url);
    } catch (e) {
      throw fetchFailure(url, null);
    }
    if (!response.ok) throw fetchFailure(url, response);
    try {
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
      throw fetchFailure(url, null);
    }
  }

  // The track decoded for Web Audio, or null (a silent show, as natively when
  // the track cannot be played): the context waits suspended for the click.
  async function decodeSong(bytes) {
    const Context = window.AudioContext || window.webkitAudioContext;
    if (!bytes || !Context) return null;
    try {
      const context = new Context();
      const buffer = await context.decodeAudioData(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length));
      return { context, buffer, path: song, music: null };
    } catch (e) {
      console.warn(`"${song}" no se puede reproducir: la función irá sin música`);
      return null;
    }
  }

  // Every file the page lists must come: one that does not is named with the
  // server's answer.  A show files.json does not list gets no files (the
  // program refuses an unknown show).  The track is fetched too; without it
  // the show is silent, as natively.
  async function load() {
    let response;
    try {
      response = await fetch('files.json');
    } catch (e) {
      throw fetchFailure('files.json', null);
    }
    if (!response.ok) throw fetchFailure('files.json', response);
    const manifest = await response.json().catch(() => null);
    if (!validManifest(manifest))
      throw new Error('El fichero "files.json" no es una lista de ficheros por espectáculo (JSON) válida');
    shows = Object.keys(manifest).filter((key) => key !== 'sizes' && key !== 'music');
    const script = chosenScript();
    const paths = Object.prototype.hasOwnProperty.call(manifest, script) && script !== 'sizes' && script !== 'music'
      ? manifest[script] : [];
    song = typeof manifest.music === 'string' ? manifest.music : null;
    const sizes = manifest.sizes || {};
    const wasm = build + '.wasm';
    const tracks = virtualClock || !song ? [] : [song];  // the virtual clock plays no sound
    const total = [wasm, ...tracks, ...paths].reduce((sum, path) => sum + (sizes[path] || 0), 0);
    let received = 0;
    const counted = (n) => {
      received += n;
      if (total > 0) progress.value = Math.min(1, received / total);
    };
    if (total === 0) progress.removeAttribute('value');  // sizes unknown: a bar that only says "busy"
    progress.hidden = false;
    const [bytes, , audio, ...data] = await Promise.all([
      fetchCounted(wasm, counted),
      loadScript(build + '.js'),
      tracks.length ? fetchCounted(song, counted).then(decodeSong, (e) => { console.warn(e.message); return null; })
                  : null,
      ...paths.map((path) => fetchCounted(path, counted)),
    ]);
    files = paths.map((path, i) => [path, data[i]]);
    yurn.audio = audio;
    try {
      program = await WebAssembly.compile(bytes);
    } catch (e) {
      throw new Error(`"${wasm}" no es un programa WebAssembly que este navegador pueda ejecutar`);
    }
    loaded = true;
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
    keysPanel.hidden = true;
    controls.hidden = virtualClock;
    document.body.classList.add('jugando');

    const module = await createYurn({
      canvas: canvas,
      print: (text) => console.log(text),
      printErr: printErr,
      onExit: ended,
      onAbort: aborted,
      yurnMessageBox: showError,
      // Hashing every frame is work for the tests only: ?digests asks for it.
      yurnFrame: query.has('digests') ? (frame, high, low) => {
        yurn.digests[frame] = high.toString(16).padStart(8, '0') + low.toString(16).padStart(8, '0');
      } : undefined,
      yurnWork: (ms) => yurn.work.push(ms),
      // The decoded track, played by the program's web backend.
      yurnSong: yurn.audio,
      // The module compiled while loading; without it the program fetches its own.
      instantiateWasm: program ? (imports, receive) => {
        WebAssembly.instantiate(program, imports).then((instance) => receive(instance, program), aborted);
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
    requestAnimationFrame(followPlayer);
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
    // Sound may start only within the user's gesture: the context resumes here.
    if (yurn.audio && yurn.audio.context.state !== 'running') yurn.audio.context.resume().catch(() => {});
    start().catch((e) => {
      if (e && e.name === 'ExitStatus') return;  // exit() inside the program: onExit has run
      aborted(e);
    });
  }

  // Enter and Space start the show (and a click or a tap); Tab, Control and
  // the other keys do what they do on any page.
  function startKey(event) {
    return (event.key === 'Enter' || event.key === ' ') && !event.repeat && !event.altKey && !event.ctrlKey &&
      !event.metaKey;
  }

  addEventListener('resize', fit);
  document.addEventListener('fullscreenchange', fit);
  document.addEventListener('keydown', (event) => {
    // A focused button acts on Enter and Space by itself.
    if (event.target instanceof HTMLButtonElement && (event.key === 'Enter' || event.key === ' ')) return;
    if (yurn.state === 'ready') {
      if (startKey(event)) gesture(event);
      return;
    }
    if (event.repeat) return;
    if (event.key === 'f' || event.key === 'F') toggleFullScreen();
    else if (event.key === '?' || event.key === 'h' || event.key === 'H') keysPanel.hidden = !keysPanel.hidden;
  });
  document.addEventListener('click', (event) => {
    if (!(event.target instanceof HTMLButtonElement) && !controls.contains(event.target)) gesture(event);
  });
  pauseButton.addEventListener('click', () => command(PLAYER_PAUSE, 0));
  seekBar.addEventListener('change', () => {
    command(PLAYER_SEEK_TO, Number(seekBar.value));
    seekBar.blur();  // the arrows are the player's again
  });
  document.addEventListener('dblclick', toggleFullScreen);
  // Only from the end: a second click (or a script's) while the show it
  // started runs would start another program over the first.
  document.getElementById('otra-vez').addEventListener('click', () => {
    if (yurn.state !== 'ended') return;
    yurn.state = 'ready';
    gesture();
  });
  // After a failed load the page starts anew; after a failed show, the show.
  retry.addEventListener('click', () => {
    if (!loaded) {
      location.reload();
      return;
    }
    if (yurn.state !== 'ended') return;
    yurn.state = 'ready';
    gesture();
  });
  fit();

  load().then(() => {
    yurn.state = 'ready';
    if (virtualClock) return gesture();  // no sound, nothing to wait for
    prompt.textContent = 'Haz clic o pulsa Intro o Espacio para empezar';
  }, (e) => {
    prompt.hidden = true;
    progress.hidden = true;
    showError('Error', String(e && e.message || e));
    ended(1);
  });
})();
