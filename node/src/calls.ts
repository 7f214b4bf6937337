// One pure builder per client command: the qvctl words to send and how its
// JSON result (typed by ./schema) becomes a typed value. Prefix runs them one
// at a time or pipelined; nothing here talks to a process.
import { QvError } from "./errors";
import type * as S from "./schema";
import * as T from "./types";

/** One command: qvctl's words and how its result becomes a T. */
export interface Call<R> {
  argv: string[];
  parse(result: Record<string, unknown>): R;
}

export interface View {
  /** the 32-bit view of the registry */
  view32?: boolean;
}

export interface App {
  /** one program's settings ("game.exe") instead of the prefix's */
  app?: string;
}

function call<J, R>(argv: string[], parse: (r: J) => R): Call<R> {
  return { argv, parse: (r) => parse(r as unknown as J) };
}

const none = (): void => undefined;
const view = (argv: string[], o?: View): string[] => (o?.view32 ? [...argv, "--32"] : argv);
const app = (argv: string[], o?: App): string[] => (o?.app ? [...argv, "--app", o.app] : argv);
// The default value has no name; "--" keeps a name starting with "-" a name.
const named = (argv: string[], name: string): string[] => (name === "" ? [...argv, "--default"] : [...argv, "--", name]);

export const regKey = (key: string, o?: View): Call<T.RegKey> =>
  call(view(["reg", "get", key], o), (r: S.RegGet) => T.regKey({ ...r, key: r.key ?? key }));

/** name "" is the key's default value. */
export const regValue = (key: string, name: string, o?: View): Call<T.RegValue> =>
  call(named(view(["reg", "get", key], o), name), (r: S.RegGet) => T.regValue(r.value as S.Value));

export const regTree = (key: string, o?: View): Call<T.RegKey[]> =>
  call(view(["reg", "get", "-s", key], o), (r: S.RegGet) => (r.keys ?? []).map(T.regKey));

/** What regSet writes: text (sz, expand), a number or bigint (dword, qword),
 * strings (multi), bytes (binary, none), or nothing (none). */
export type RegSetData = string | number | bigint | string[] | Uint8Array | null;

function dataWords(data: RegSetData): string[] {
  if (data === null) return [];
  if (data instanceof Uint8Array) return [Buffer.from(data).toString("hex")];
  if (Array.isArray(data)) return data.map(String);
  return [String(data)];
}

/** type: sz, expand, multi, dword, qword, binary or none. name "" is the default value. */
export const regSet = (key: string, name: string, type: T.RegType, data: RegSetData, o?: View): Call<void> =>
  call(
    [...view(["reg", "set", key], o), ...(name === "" ? ["--default", "--", type] : ["--", name, type]), ...dataWords(data)],
    none,
  );

export const regRm = (key: string, o?: View): Call<void> => call(view(["reg", "rm", key], o), none);

export const regRmValue = (key: string, name: string, o?: View): Call<void> =>
  call(named(view(["reg", "rm-value", key], o), name), none);

export const regExport = (key: string, file: string, o?: View & { format?: T.ExportFormat }): Call<T.ExportResult> =>
  call(view(["reg", "export", key, file, "--" + (o?.format ?? "utf16")], o), (r: S.RegExport) => ({
    key: r.key ?? key, file: r.file ?? file, keys: r.keys ?? 0, values: r.values ?? 0, warnings: r.warnings ?? [],
    incomplete: r.incomplete ?? [], complete: (r.incomplete ?? []).length === 0,
  }));

/** to/fromKey move the file's keys from one place to another. */
export const regImport = (file: string, o?: View & { to?: string; fromKey?: string }): Call<T.ImportResult> =>
  call(
    [...view(["reg", "import", file], o), ...(o?.to ? ["--to", o.to] : []), ...(o?.fromKey ? ["--from", o.fromKey] : [])],
    (r: S.RegImport) => ({
      file: r.file ?? file, keys: r.keys ?? 0, keysDeleted: r.keys_deleted ?? 0, valuesSet: r.values_set ?? 0,
      valuesDeleted: r.values_deleted ?? 0, viaEditor: r.via_editor ?? 0, failures: r.failures ?? [],
    }),
  );

function onePath(r: S.Path): string {
  const item = (r.paths ?? [])[0];
  if (!item || item.error) {
    throw QvError.fromResult({ error: item?.error, exit: (r as Record<string, unknown>).exit ?? 1 });
  }
  return item.path ?? "";
}

export const unixPath = (windowsPath: string): Call<string> => call(["path", "unix", "--", windowsPath], onePath);
export const windowsPath = (unixPath: string): Call<string> => call(["path", "windows", "--", unixPath], onePath);

/** The letter that maps the folder, new or already there. */
export const driveAdd = (unixDir: string): Call<T.DriveAdded> =>
  call(["drive", "add", "--", unixDir], (r: S.DriveAdd) => ({
    letter: r.letter ?? "", directory: r.directory ?? unixDir, isNew: r.new ?? true,
  }));

/** B: to Y:; C: and Z: only with force. */
export const driveRm = (letter: string, o?: { force?: boolean }): Call<void> =>
  call(["drive", "rm", letter, ...(o?.force ? ["--force"] : [])], none);

export const drives = (): Call<T.Drive[]> => call(["drive", "list"], (r: S.DriveList) => (r.drives ?? []).map(T.drive));

export const find = (pattern: string, o?: { maxResults?: number }): Call<T.DirEntry[]> =>
  call(["find", pattern, ...(o?.maxResults !== undefined ? ["--max", String(o.maxResults)] : [])], (r: S.Find) =>
    (r.entries ?? []).map((e) => ({
      name: e.name, directory: e.directory,
      nameBytes: e.name_hex !== undefined ? Buffer.from(e.name_hex, "hex") : Buffer.from(e.name, "utf8"),
    })),
  );

export const folder = (name: string): Call<string> => call(["folder", name], (r: S.Folder) => r.path ?? "");
export const env = (name: string): Call<string> => call(["env", name], (r: S.Env) => r.value ?? "");
/** %NAME% references expanded as programs in the prefix expand them. */
export const expand = (text: string): Call<string> => call(["expand", "--", text], (r: S.Expand) => r.expanded ?? "");
export const systemDir = (): Call<string> => call(["dir", "system"], (r: S.Dir) => r.path ?? "");
export const windowsDir = (): Call<string> => call(["dir", "windows"], (r: S.Dir) => r.path ?? "");

export const winver = (o?: App): Call<T.WindowsVersion> =>
  call(app(["winver"], o), (r: S.Winver) => T.windowsVersion(r as S.WindowsVersion));

export const winverSet = (version: T.WindowsVersionName, o?: App): Call<void> => call(app(["winver", "set", version], o), none);

export const winverList = (): Call<T.VersionChoice[]> =>
  call(["winver", "list"], (r: S.WinverList) => (r.versions ?? []).map((v) => ({ name: v.name, description: v.description })));

export const dllOverrides = (o?: App): Call<T.DllOverride[]> =>
  call(app(["dll", "list"], o), (r: S.DllList) => (r.overrides ?? []).map(T.dllOverride));

export const dllOverride = (dll: string, o?: App): Call<T.DllOverride> =>
  call(app(["dll", "get", dll], o), (r: S.DllGet) => T.dllOverride(r as S.DllOverride));

export const dllSet = (dll: string, mode: T.DllMode, o?: App): Call<void> => call(app(["dll", "set", dll, mode], o), none);

/** true when there was an override to remove. */
export const dllRm = (dll: string, o?: App): Call<boolean> => call(app(["dll", "rm", dll], o), (r: S.DllRm) => r.removed ?? true);

export const info = (): Call<T.PrefixInfo> =>
  call(["info"], (r: S.Info): T.PrefixInfo => ({
    prefix: r.prefix ?? "", windowsVersion: T.windowsVersion(r.windows_version as S.WindowsVersion), arch: r.arch ?? "",
    processor: r.processor ?? "", wine: r.wine_update?.wine ?? "", lastUpdatedBy: r.wine_update?.last_updated_by ?? "",
    needsUpdate: r.wine_update?.by_this_wine === false, drives: (r.drives ?? []).map(T.drive),
    folders: Object.fromEntries((r.folders ?? []).map((f) => [f.name, { name: f.name, windowsPath: f.windows_path, unixPath: f.unix_path }])),
  }));

/** true when an agent ran (it has ended when the answer comes). */
export const agentStop = (): Call<boolean> => call(["agent", "stop"], (r: S.AgentStop) => r.stopped_pid !== undefined);
