// The microphone's samples, taken on the audio thread as they come and handed
// to the page in blocks of about a tenth of a second (a message for each
// 128-frame quantum would flood it). "flush" asks for what is left.
class Capture extends AudioWorkletProcessor {
  constructor() {
    super();
    this.blocks = [];
    this.frames = 0;
    this.begun = false;
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

  // A quantum whose input has no channels (the source stalled) is kept as
  // silence once the recording has begun: dropping it would join the samples
  // either side, and a bit lost that way reads as sure.
  process(inputs) {
    const input = inputs[0];
    if (input && input.length > 0) {
      this.blocks.push(input.map((c) => c.slice()));
      this.frames += input[0].length;
      this.begun = true;
    } else if (this.begun) {
      this.blocks.push([new Float32Array(128)]);
      this.frames += 128;
    }
    if (this.frames >= sampleRate / 10) this.send();
    return true;
  }
}

registerProcessor('korvax-capture', Capture);
