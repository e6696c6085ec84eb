// The microphone's samples, taken on the audio thread as they come and handed
// to the page in blocks of about a tenth of a second (a message for each
// 128-frame quantum would flood it). "flush" asks for what is left.
class Capture extends AudioWorkletProcessor {
  constructor() {
    super();
    this.blocks = [];
    this.frames = 0;
    this.port.onmessage = (e) => {
      if (e.data === 'flush') {
        this.send();
        this.port.postMessage({ flushed: true });
      }
    };
  }

  send() {
    if (this.frames === 0) return;
    const count = Math.max(...this.blocks.map((b) => b.length));
    const channels = [];
    for (let c = 0; c < count; c += 1) {
      const out = new Float32Array(this.frames);
      let at = 0;
      // A block with fewer channels (the input just connected) gives its first.
      for (const b of this.blocks) {
        out.set(b[Math.min(c, b.length - 1)], at);
        at += b[0].length;
      }
      channels.push(out);
    }
    this.port.postMessage({ channels }, channels.map((c) => c.buffer));
    this.blocks = [];
    this.frames = 0;
  }

  process(inputs) {
    const input = inputs[0];
    if (input && input.length > 0) {
      this.blocks.push(input.map((c) => c.slice()));
      this.frames += input[0].length;
      if (this.frames >= sampleRate / 10) this.send();
    }
    return true;
  }
}

registerProcessor('korvax-capture', Capture);
