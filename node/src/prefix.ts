// A Wine prefix, asked and changed through one resident qvmanip server.
import { accessSync, constants } from "node:fs";
import { homedir } from "node:os";
import { delimiter, join, resolve } from "node:path";

import * as calls from "./calls";
import { Call, RegSetData, View, App } from "./calls";
import { QvError, ServerGone, UsageError } from "./errors";
import { Coprocess, Result } from "./serve";
import * as T from "./types";

/** WINEPREFIX, else ~/.wine, as Wine itself chooses. */
export function defaultPrefix(): string {
  return process.env.WINEPREFIX || join(homedir(), ".wine");
}

/** QVCTL, else qvctl on PATH. */
export function findQvctl(): string {
  if (process.env.QVCTL) return process.env.QVCTL;
  for (const dir of (process.env.PATH ?? "").split(delimiter)) {
    const candidate = join(dir || ".", "qvctl");
    try {
      accessSync(candidate, constants.X_OK);
      return candidate;
    } catch {
      // not here
    }
  }
  throw new ServerGone("environment", "qvctl not found: set QVCTL or put qvctl on PATH", null, 3);
}

export interface PrefixOptions {
  /** qvctl to run (default: QVCTL, else PATH) */
  qvctl?: string;
  /** the Wine loader to run (a runner's bin/wine64) */
  wine?: string;
  /** words put before the loader (["flatpak-spawn", "--host"], a runtime's launch client) */
  launcher?: string[];
  /** seconds the agent stays after its last client (0: no agent; fractions round up) */
  persist?: number;
  /** milliseconds any call may take (default: no limit) */
  timeoutMs?: number;
  /** the environment for qvctl (default: this process's) */
  env?: NodeJS.ProcessEnv;
}

export interface CallOptions {
  /** milliseconds this call may take (default: the Prefix's) */
  timeoutMs?: number;
}

/**
 * A Wine prefix and the `qvctl serve` that talks to it. Every method sends
 * one request (through the prefix's agent when one runs) and resolves with
 * a typed result, or rejects with a QvError of the failure's kind:
 * UsageError (refused before sending), NotFound, Refused, ServerGone or
 * Timeout. Calls made without awaiting each other are pipelined. When serve
 * has ended, the next call starts it anew.
 */
export class Prefix {
  private closed = false;

  private constructor(
    readonly path: string,
    private serve: Promise<Coprocess>,
    private readonly command: string[],
    private readonly options: PrefixOptions,
  ) {}

  /** Starts qvctl serve for the prefix (default: WINEPREFIX, else ~/.wine). */
  static async open(path?: string, options: PrefixOptions = {}): Promise<Prefix> {
    const abs = resolve(path ?? defaultPrefix());
    const command = [options.qvctl ?? findQvctl(), "--prefix", abs];
    if (options.wine !== undefined) command.push("--wine", options.wine);
    for (const word of options.launcher ?? []) command.push("--launcher", word);
    if (options.persist !== undefined) {
      if (!(typeof options.persist === "number" && options.persist >= 0)) {
        throw new UsageError("usage", `persist ${String(options.persist)}: not a number of seconds (0 or more; 0: no agent)`, null, 2);
      }
      command.push("--persist", String(Math.ceil(options.persist)));
    }
    command.push("serve");
    const serve = Coprocess.start(command, options.env, options.timeoutMs);
    await serve;
    return new Prefix(abs, serve, command, options);
  }

  private async connection(): Promise<Coprocess> {
    if (this.closed) throw new UsageError("closed", `this Prefix (${this.path}) is closed`, null, 2);
    const serve = await this.serve;
    if (serve.gone) {
      // serve ended (killed, or its session ended): a new one; its agent, if one runs, keeps the server.
      this.serve = Coprocess.start(this.command, this.options.env, this.options.timeoutMs);
      this.serve.catch(() => {});
      return this.serve;
    }
    return serve;
  }

  /** Ends this object's qvctl serve; stopAgent: the prefix's agent and its server too. */
  async close(options: { stopAgent?: boolean } = {}): Promise<void> {
    if (this.closed) return;
    if (options.stopAgent) await this.stopAgent().catch(() => false);
    this.closed = true;
    await (await this.serve.catch(() => null))?.close();
  }

  /** Ends the prefix's agent and its server now, resolving once they have
   * ended: before `wineserver -k`, deleting the prefix or switching its
   * Wine. true when one ran. The next call starts them again. */
  stopAgent(o?: CallOptions): Promise<boolean> {
    return this.call(calls.agentStop(), o);
  }

  /** The raw form: qvctl's own words in, its JSON result out. */
  async run(argv: string[], o?: CallOptions): Promise<Result> {
    const [r] = await (await this.connection()).pipeline([argv], o?.timeoutMs ?? this.options.timeoutMs);
    if (!r.ok) throw QvError.fromResult(r);
    return r;
  }

  /** Runs one call built with calls. */
  async call<R>(c: Call<R>, o?: CallOptions): Promise<R> {
    return c.parse(await this.run(c.argv, o));
  }

  /** Pipelines the calls: all are sent at once, each runs whatever the
   * others did, and the results come in order, each the call's typed result
   * or its QvError. raiseOnError: after all ran, reject with the first
   * failure instead. timeoutMs: for the whole batch. */
  batch<R>(cs: Call<R>[], o: CallOptions & { raiseOnError: true }): Promise<R[]>;
  batch<R>(cs: Call<R>[], o?: CallOptions & { raiseOnError?: false }): Promise<(R | QvError)[]>;
  async batch<R>(cs: Call<R>[], o?: CallOptions & { raiseOnError?: boolean }): Promise<(R | QvError)[]> {
    const results = await (await this.connection()).pipeline(cs.map((c) => c.argv), o?.timeoutMs ?? this.options.timeoutMs);
    const out = results.map((r, i) => {
      try {
        return r.ok ? cs[i].parse(r) : QvError.fromResult(r);
      } catch (e) {
        if (e instanceof QvError) return e;
        throw e;
      }
    });
    if (o?.raiseOnError) {
      const failure = out.find((x): x is QvError => x instanceof QvError);
      if (failure) throw failure;
    }
    return out;
  }

  // Registry. A name "" is the key's default value.
  /** The key's values and subkey names; NotFound when there is no such key. */
  regKey(key: string, o?: View & CallOptions): Promise<T.RegKey> { return this.call(calls.regKey(key, o), o); }
  /** One value; NotFound when it is not there. */
  regValue(key: string, name: string, o?: View & CallOptions): Promise<T.RegValue> { return this.call(calls.regValue(key, name, o), o); }
  /** The key and every key below it, parents first. */
  regTree(key: string, o?: View & CallOptions): Promise<T.RegKey[]> { return this.call(calls.regTree(key, o), o); }
  /** Writes a value, creating the key as needed. type: sz, expand, multi,
   * dword, qword, binary or none; UsageError for data that does not fit. */
  regSet(key: string, name: string, type: T.RegType, data: RegSetData, o?: View & CallOptions): Promise<void> {
    return this.call(calls.regSet(key, name, type, data, o), o);
  }
  /** Deletes the key and everything below it; a missing key is no error. */
  regRm(key: string, o?: View & CallOptions): Promise<void> { return this.call(calls.regRm(key, o), o); }
  /** Deletes one value. */
  regRmValue(key: string, name: string, o?: View & CallOptions): Promise<void> { return this.call(calls.regRmValue(key, name, o), o); }
  /** Writes the key's tree to a .reg file (utf16 as Wine's editor, utf8, regedit4). */
  regExport(key: string, file: string, o?: View & CallOptions & { format?: T.ExportFormat }): Promise<T.ExportResult> {
    return this.call(calls.regExport(key, file, o), o);
  }
  /** Applies a .reg file; to/fromKey move its keys elsewhere. */
  regImport(file: string, o?: View & CallOptions & { to?: string; fromKey?: string }): Promise<T.ImportResult> {
    return this.call(calls.regImport(file, o), o);
  }

  // Paths, drives and folders.
  /** The Unix path of a Windows path (as winepath -u). */
  unixPath(windowsPath: string, o?: CallOptions): Promise<string> { return this.call(calls.unixPath(windowsPath), o); }
  /** The Windows path of a Unix path (as winepath -w). */
  windowsPath(unixPath: string, o?: CallOptions): Promise<string> { return this.call(calls.windowsPath(unixPath), o); }
  /** Maps the folder to a free letter, or gives the letter that maps it already. */
  driveAdd(unixDir: string, o?: CallOptions): Promise<T.DriveAdded> { return this.call(calls.driveAdd(unixDir), o); }
  /** Unmaps a letter (B: to Y:; C: and Z: only with force). */
  driveRm(letter: string, o?: CallOptions & { force?: boolean }): Promise<void> { return this.call(calls.driveRm(letter, o), o); }
  /** Every drive letter and its Unix folder. */
  drives(o?: CallOptions): Promise<T.Drive[]> { return this.call(calls.drives(), o); }
  /** The entries a Windows pattern (C:\windows\*.exe) matches. */
  find(pattern: string, o?: CallOptions & { maxResults?: number }): Promise<T.DirEntry[]> { return this.call(calls.find(pattern, o), o); }
  /** A well-known folder's Windows path ("AppData", "Desktop", "LocalAppData", ...). */
  folder(name: string, o?: CallOptions): Promise<string> { return this.call(calls.folder(name), o); }
  /** An environment variable as Windows programs see it. */
  env(name: string, o?: CallOptions): Promise<string> { return this.call(calls.env(name), o); }
  /** %NAME% references in text expanded as programs in the prefix expand them; unknown names stay. */
  expand(text: string, o?: CallOptions): Promise<string> { return this.call(calls.expand(text), o); }
  /** C:\windows\system32, as the server sees it. */
  systemDir(o?: CallOptions): Promise<string> { return this.call(calls.systemDir(), o); }
  /** C:\windows, as the server sees it. */
  windowsDir(o?: CallOptions): Promise<string> { return this.call(calls.windowsDir(), o); }

  // What Wine's configuration tool sets; app: one program ("game.exe").
  /** The Windows version programs see. */
  winver(o?: App & CallOptions): Promise<T.WindowsVersion> { return this.call(calls.winver(o), o); }
  /** Sets the Windows version as Wine's configuration tool does. */
  winverSet(version: T.WindowsVersionName, o?: App & CallOptions): Promise<void> { return this.call(calls.winverSet(version, o), o); }
  /** The versions this prefix's Wine offers. */
  winverList(o?: CallOptions): Promise<T.VersionChoice[]> { return this.call(calls.winverList(), o); }
  /** Every DLL override. */
  dllOverrides(o?: App & CallOptions): Promise<T.DllOverride[]> { return this.call(calls.dllOverrides(o), o); }
  /** One DLL's override; NotFound when it has none. */
  dllOverride(dll: string, o?: App & CallOptions): Promise<T.DllOverride> { return this.call(calls.dllOverride(dll, o), o); }
  /** Sets a DLL's override. */
  dllSet(dll: string, mode: T.DllMode, o?: App & CallOptions): Promise<void> { return this.call(calls.dllSet(dll, mode, o), o); }
  /** Removes a DLL's override; true when there was one. */
  dllRm(dll: string, o?: App & CallOptions): Promise<boolean> { return this.call(calls.dllRm(dll, o), o); }
  /** The prefix's facts: Windows version, arch, drives, folders, Wine update. */
  info(o?: CallOptions): Promise<T.PrefixInfo> { return this.call(calls.info(), o); }
}
