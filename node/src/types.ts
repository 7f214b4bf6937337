// Typed results, each built from the JSON object qvctl prints for a command
// (its shape in ./schema, made from the JSON schema), and the words the
// commands take.
import type * as S from "./schema";

/** The value types regSet takes (qvctl's words). */
export type RegType = "sz" | "expand" | "multi" | "dword" | "qword" | "binary" | "none";
/** DLL override modes: the long words, or n, b, n,b, b,n. */
export type DllMode = "native" | "builtin" | "native,builtin" | "builtin,native" | "disabled" | "n" | "b" | "n,b" | "b,n";
/** The Windows versions Wine's configuration tool offers (winverList tells what this prefix's Wine offers). */
export type WindowsVersionName =
  | "win11" | "win10" | "win81" | "win8" | "win2008r2" | "win7" | "win2008" | "vista" | "win2003" | "winxp64"
  | "winxp" | "win2k" | "winme" | "win98" | "win95" | "nt40" | "nt351" | "win31" | "win30" | "win20";
export type ExportFormat = "utf16" | "utf8" | "regedit4";
/** What a value holds, read by type: text, a number (a QWORD as bigint), strings, or the bytes. */
export type RegData = string | number | bigint | string[] | Buffer;

const TEXT_TYPES = new Set(["REG_SZ", "REG_EXPAND_SZ", "REG_LINK"]);

/** The exact bytes of a string field: its "<name>_hex" twin when the text is not UTF-8. */
function exact(text: string | undefined, hex: string | undefined): Buffer {
  return hex !== undefined ? Buffer.from(hex, "hex") : Buffer.from(text ?? "", "utf8");
}

/** A registry value: raw holds the stored bytes exactly; data is them read by type. */
export interface RegValue {
  name: string;
  nameBytes: Buffer;
  type: string;
  typeCode: number;
  raw: Buffer;
  data: RegData;
}

export function regValue(v: S.Value): RegValue {
  const raw = Buffer.from(v.hex, "hex");
  let data: RegData = raw;
  if (v.type === "REG_MULTI_SZ" && Array.isArray(v.data)) data = v.data.map(String);
  else if (TEXT_TYPES.has(v.type) && typeof v.data === "string") data = v.data;
  else if (v.type === "REG_QWORD" && /^[0-9]+$/.test(String(v.data))) data = BigInt(String(v.data)); // no digit lost
  else if (v.type.startsWith("REG_DWORD") && typeof v.data === "number") data = v.data;
  return { name: v.name, nameBytes: exact(v.name, v.name_hex), type: v.type, typeCode: v.type_code, raw, data };
}

/** A key's listing; complete is false when some of it could not be read. */
export interface RegKey {
  path: string;
  values: RegValue[];
  subkeys: string[];
  complete: boolean;
}

export function regKey(k: { key: string; values?: S.Value[]; subkeys?: string[]; complete?: boolean }): RegKey {
  return { path: k.key, values: (k.values ?? []).map(regValue), subkeys: k.subkeys ?? [], complete: k.complete ?? true };
}

export interface Drive {
  letter: string;
  target: string;
  targetBytes: Buffer;
  exists: boolean;
}

export function drive(d: { letter: string; target: string; target_hex?: string; exists?: boolean }): Drive {
  return { letter: d.letter, target: d.target, targetBytes: exact(d.target, d.target_hex), exists: d.exists ?? true };
}

/** The letter that maps the folder; isNew is false when it was mapped already. */
export interface DriveAdded {
  letter: string;
  directory: string;
  isNew: boolean;
}

export interface DirEntry {
  name: string;
  nameBytes: Buffer;
  directory: boolean;
}

/** complete is false when some keys could not be read (listed in incomplete). */
export interface ExportResult {
  key: string;
  file: string;
  keys: number;
  values: number;
  warnings: string[];
  incomplete: string[];
  complete: boolean;
}

export interface ImportResult {
  file: string;
  keys: number;
  keysDeleted: number;
  valuesSet: number;
  valuesDeleted: number;
  viaEditor: number;
  failures: string[];
}

/** The version programs see, as Wine's configuration tool judges it. */
export interface WindowsVersion {
  version: string;
  source: "app" | "user" | "registry";
  exact: boolean;
  currentVersion: string;
  build: number;
  productName: string;
  productType: string;
  csdVersion: string;
}

export function windowsVersion(v: S.WindowsVersion): WindowsVersion {
  return {
    version: v.version, source: v.source, exact: v.exact, currentVersion: v.current_version ?? "", build: v.build ?? 0,
    productName: v.product_name ?? "", productType: v.product_type ?? "", csdVersion: v.csd_version ?? "",
  };
}

export interface VersionChoice {
  name: string;
  description: string;
}

/** dll without ".dll"; mode null for a stored text that is no mode. */
export interface DllOverride {
  dll: string;
  text: string;
  mode: S.DllOverride["mode"];
}

export function dllOverride(o: S.DllOverride): DllOverride {
  return { dll: o.dll, text: o.text, mode: o.mode };
}

export interface Folder {
  name: string;
  windowsPath: string;
  unixPath: string;
}

/** Facts of the prefix. needsUpdate: another Wine updated it last (its next start runs wineboot's update). */
export interface PrefixInfo {
  prefix: string;
  windowsVersion: WindowsVersion;
  arch: string;
  processor: string;
  wine: string;
  lastUpdatedBy: string;
  needsUpdate: boolean;
  drives: Drive[];
  folders: Record<string, Folder>;
}
