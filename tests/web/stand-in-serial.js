// Test-only, installed before the page's script and never shipped with it: a navigator.serial
// whose one port carries the bytes over the test server's /tx and /rx to tessel-sim's
// pseudo-terminal. The page's own serial code runs unchanged against it.
(() => {
  let open = false;
  const port = {
    async open() { open = true; },
    async close() { open = false; },
    async setSignals() {},
    get readable() {
      return !open ? null : new ReadableStream({
        async pull(controller) {
          for (;;) {
            if (!open) { controller.close(); return; }
            const bytes = new Uint8Array(await (await fetch('/rx', {method: 'POST'})).arrayBuffer());
            if (bytes.length) { controller.enqueue(bytes); return; }
          }
        },
        cancel() {},
      });
    },
    get writable() {
      return new WritableStream({
        async write(chunk) { await fetch('/tx', {method: 'POST', body: chunk}); },
      });
    },
  };
  Object.defineProperty(Navigator.prototype, 'serial', {
    configurable: true,
    get: () => ({requestPort: async () => port, getPorts: async () => [port]}),
  });
})();
