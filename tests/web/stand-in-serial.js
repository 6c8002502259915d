// Test-only, installed before the page's script and never shipped with it: a navigator.serial
// whose one port carries the bytes over the test server's WebSocket /line to tessel-sim's
// pseudo-terminal. The page's own serial code runs unchanged against it.
(() => {
  let socket = null;
  let readable = null;
  const port = {
    async open() {
      socket = new WebSocket(`ws://${location.host}/line`);
      socket.binaryType = 'arraybuffer';
      readable = new ReadableStream({
        start(controller) {
          socket.onmessage = e => controller.enqueue(new Uint8Array(e.data));
          socket.onclose = () => { try { controller.close(); } catch (e) {} };
        },
      });
      await new Promise((resolve, reject) => { socket.onopen = resolve; socket.onerror = reject; });
    },
    async close() { socket.close(); socket = null; readable = null; },
    async setSignals() {},
    get readable() { return readable; },
    get writable() {
      return socket && new WritableStream({write(chunk) { socket.send(chunk); }});
    },
  };
  Object.defineProperty(Navigator.prototype, 'serial', {
    configurable: true,
    get: () => ({requestPort: async () => port, getPorts: async () => [port]}),
  });
})();
