// `qvctl serve` as a coprocess: one JSON request per line in, one JSON result
// per line out, each carrying its request's id. Answers go to whoever waits
// for their id; an abandoned one (timed out) is dropped, so it never shifts
// the answers of the next. Any number of callers may share one Coprocess.
import { ChildProcessWithoutNullStreams, spawn } from "node:child_process";
import { createInterface } from "node:readline";

import { QvError, ServerGone, Timeout } from "./errors";

export const PROTOCOL = 1; // the version of qvctl serve's hello this package speaks

export type Result = Record<string, unknown> & { ok?: boolean; id?: unknown };

interface Waiter {
  resolve(r: Result): void;
  reject(e: QvError): void;
}

export class Coprocess {
  private readonly proc: ChildProcessWithoutNullStreams;
  private readonly waiting = new Map<number, Waiter>();
  private nextId = 1;
  private stderr = "";
  private goneError: QvError | null = null;
  private hello: Waiter | null = null;
  private readonly ended: Promise<void>;

  private constructor(command: string[], env: NodeJS.ProcessEnv | undefined) {
    // A process group of its own: a terminal's Ctrl-C reaches the caller,
    // which decides, and not the server every later call needs.
    this.proc = spawn(command[0], command.slice(1), { env, detached: true, stdio: ["pipe", "pipe", "pipe"] });
    this.proc.stdin.on("error", () => {}); // serve gone: the end of its output tells the callers
    this.proc.stderr.setEncoding("utf8");
    this.proc.stderr.on("data", (s: string) => {
      if (this.stderr.length < 65536) this.stderr += s;
    });
    createInterface({ input: this.proc.stdout, crlfDelay: Infinity }).on("line", (line) => this.answer(line));
    this.ended = new Promise((resolve) => {
      let spawnFailure: Error | null = null;
      this.proc.on("error", (e) => (spawnFailure = e));
      this.proc.on("close", (code, signal) => {
        const said = this.stderr.trim();
        this.end(
          spawnFailure
            ? new ServerGone("environment", `cannot run ${command[0]}: ${spawnFailure.message}`, null, 3)
            : new ServerGone("environment", `qvctl serve ended (exit ${code ?? signal})${said ? ": " + said : ""}`, null, 3),
        );
        resolve();
      });
    });
  }

  /** Starts serve and reads its hello. */
  static async start(command: string[], env: NodeJS.ProcessEnv | undefined, timeoutMs?: number): Promise<Coprocess> {
    const c = new Coprocess(command, env);
    let hello: Result;
    try {
      hello = await c.wait(
        new Promise<Result>((resolve, reject) => (c.hello = { resolve, reject })),
        timeoutMs,
        "the hello of qvctl serve",
        () => {},
      );
    } catch (e) {
      await c.close();
      throw e;
    }
    if (!hello.ok) {
      await c.close();
      throw QvError.fromResult(hello);
    }
    if (hello.protocol !== PROTOCOL) {
      await c.close();
      throw new ServerGone("environment", `qvctl serve speaks protocol ${String(hello.protocol)}; this package speaks ${PROTOCOL}`, null, 3);
    }
    c.unref();
    return c;
  }

  get gone(): boolean {
    return this.goneError !== null;
  }

  get pid(): number | undefined {
    return this.proc.pid;
  }

  private answer(line: string): void {
    let r: Result;
    try {
      r = JSON.parse(line) as Result;
    } catch {
      this.proc.kill("SIGKILL");
      this.end(new ServerGone("environment", `qvctl serve wrote a line that is not JSON: ${line.slice(0, 200)}`, null, 3));
      return;
    }
    if (this.hello) {
      const h = this.hello;
      this.hello = null;
      h.resolve(r);
      return;
    }
    const w = typeof r.id === "number" ? this.waiting.get(r.id) : undefined;
    if (!w) return; // nobody waits for it any more
    this.waiting.delete(r.id as number);
    if (this.waiting.size === 0) this.unref();
    w.resolve(r);
  }

  private end(e: QvError): void {
    if (this.goneError) return;
    this.goneError = e;
    const waiting = [...this.waiting.values()];
    this.waiting.clear();
    for (const w of waiting) w.reject(e);
    this.hello?.reject(e);
    this.hello = null;
  }

  // Node stays alive for a Prefix only while an answer is due.
  private ref(): void {
    this.proc.ref();
    (this.proc.stdout as unknown as { ref(): void }).ref();
  }

  private unref(): void {
    this.proc.unref();
    (this.proc.stdout as unknown as { unref(): void }).unref();
    (this.proc.stderr as unknown as { unref(): void }).unref();
    (this.proc.stdin as unknown as { unref(): void }).unref();
  }

  /** Sends the requests and resolves with their results in order. */
  async pipeline(argvs: string[][], timeoutMs?: number): Promise<Result[]> {
    if (this.goneError) throw this.goneError;
    if (argvs.length === 0) return [];
    const first = this.nextId;
    this.nextId += argvs.length;
    if (this.waiting.size === 0) this.ref();
    const answers = argvs.map(
      (_, i) => new Promise<Result>((resolve, reject) => this.waiting.set(first + i, { resolve, reject })),
    );
    // Reject every one at once when serve ends, but report only the first.
    answers.forEach((a) => a.catch(() => {}));
    this.proc.stdin.write(argvs.map((argv, i) => JSON.stringify({ id: first + i, argv }) + "\n").join(""));
    return this.wait(Promise.all(answers), timeoutMs, `${argvs.length} request${argvs.length === 1 ? "" : "s"}`, () => {
      for (let i = 0; i < argvs.length; i++) this.waiting.delete(first + i);
      if (this.waiting.size === 0) this.unref();
    });
  }

  private wait<T>(p: Promise<T>, timeoutMs: number | undefined, what: string, abandon: () => void): Promise<T> {
    if (timeoutMs === undefined) return p;
    return new Promise<T>((resolve, reject) => {
      const timer = setTimeout(() => {
        abandon();
        reject(new Timeout("timeout", `no answer to ${what} within ${timeoutMs} ms`, null, 3));
      }, timeoutMs);
      p.then(
        (v) => (clearTimeout(timer), resolve(v)),
        (e: unknown) => (clearTimeout(timer), reject(e)),
      );
    });
  }

  /** Ends serve (end of input), killing it after timeoutMs. */
  async close(timeoutMs = 30000): Promise<void> {
    this.ref();
    this.proc.stdin.end();
    const timer = setTimeout(() => this.proc.kill("SIGKILL"), timeoutMs);
    await this.ended;
    clearTimeout(timer);
  }
}
