/* Made from schema/qvctl-result.schema.json by npm run schema: do not edit. */

/**
 * Every line qvctl --json prints is one object: 'ok', the 'command' that produced it (absent only when the command line itself could not be read), 'line' inside a batch, and the command's result. A failure has 'ok': false, 'exit' (qvctl's exit code) and 'error'; a failure that got part of the way also carries that part. Inside `qvctl serve` each line also carries 'id', copied from its request (null when none could be read), and the first line is the result of the command 'serve' (the hello, with the protocol version); a request is one line as definitions/'serve request' describes. Version 2 (version 1 named two things 'refused': what qvctl refused before sending, exit 2, which keeps the name, and an operation that failed or that qvctl declined, exit 1, now 'failed'); a change that removes or retypes a field raises the version.
 */
export type QvctlJsonResultsVersion2 = {
  [k: string]: unknown;
} & {
  ok: boolean;
  line?: number;
  id?: RequestId;
  command?:
    | "reg get"
    | "reg set"
    | "reg rm"
    | "reg rm-value"
    | "reg export"
    | "reg import"
    | "path"
    | "drive add"
    | "drive rm"
    | "drive list"
    | "find"
    | "folder"
    | "env"
    | "expand"
    | "dir"
    | "printer add"
    | "request"
    | "batch"
    | "version"
    | "agent status"
    | "agent stop"
    | "winver"
    | "winver set"
    | "winver list"
    | "dll list"
    | "dll get"
    | "dll set"
    | "dll rm"
    | "info"
    | "serve"
    | "help";
  exit?: 1 | 2 | 3;
  error?: Error;
};
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "request id".
 */
export type RequestId = string | number | null;

/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "error".
 */
export interface Error {
  /**
   * usage and refused (exit 2): what was typed or given is wrong, refused before anything was sent; environment (exit 3): no prefix, no Wine, the server did not start or died; failed, server, win32 and incomplete (exit 1): the operation failed or was declined (failed, in words), the server refused it in its own words (server) or with a Win32 code (win32), or it was done in part (incomplete).
   */
  kind: "usage" | "environment" | "refused" | "failed" | "server" | "win32" | "incomplete";
  message: string;
  code: null | number;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "winver".
 */
export interface Winver {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  version?: string;
  source?: "app" | "user" | "registry";
  exact?: boolean;
  current_version?: string;
  current_version_hex?: string;
  version_hex?: string;
  product_type_hex?: string;
  build?: number;
  product_type?: string;
  product_name?: string;
  product_name_hex?: string;
  csd_version?: string;
  csd_version_hex?: string;
  app?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "winver set".
 */
export interface WinverSet {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  version?: string;
  app?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "winver list".
 */
export interface WinverList {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  versions?: {
    name: string;
    description: string;
  }[];
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "dll list".
 */
export interface DllList {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  overrides?: DllOverride[];
  app?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "dll override".
 */
export interface DllOverride {
  dll: string;
  dll_hex?: string;
  text: string;
  text_hex?: string;
  mode: "native" | "builtin" | "native,builtin" | "builtin,native" | "disabled" | null;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "dll get".
 */
export interface DllGet {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  dll?: string;
  dll_hex?: string;
  text?: string;
  text_hex?: string;
  mode?: "native" | "builtin" | "native,builtin" | "builtin,native" | "disabled" | null;
  app?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "dll set".
 */
export interface DllSet {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  dll?: string;
  dll_hex?: string;
  mode?: "native" | "builtin" | "native,builtin" | "builtin,native" | "disabled" | null;
  app?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "dll rm".
 */
export interface DllRm {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  dll?: string;
  dll_hex?: string;
  removed?: boolean;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "info".
 */
export interface Info {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  prefix?: string;
  windows_version?: WindowsVersion;
  arch?: string;
  processor?: string;
  wine_update?: {
    stamp?: string;
    wine?: string;
    by_this_wine?: boolean;
    last_updated_by?: string;
  };
  drives?: {
    letter: string;
    target: string;
    target_hex?: string;
  }[];
  folders?: {
    name: string;
    windows_path: string;
    windows_path_hex?: string;
    unix_path: string;
    unix_path_hex?: string;
  }[];
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "windows version".
 */
export interface WindowsVersion {
  version: string;
  source: "app" | "user" | "registry";
  exact: boolean;
  current_version?: string;
  current_version_hex?: string;
  version_hex?: string;
  product_type_hex?: string;
  build?: number;
  product_type?: string;
  product_name?: string;
  product_name_hex?: string;
  csd_version?: string;
  csd_version_hex?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "expand".
 */
export interface Expand {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  text?: string;
  text_hex?: string;
  expanded?: string;
  expanded_hex?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "value".
 */
export interface Value {
  name: string;
  name_hex?: string;
  type: string;
  type_code: number;
  data: string | string[] | number;
  hex: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "key".
 */
export interface Key {
  key: string;
  values: Value[];
  subkeys?: string[];
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "reg get".
 */
export interface RegGet {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  key?: string;
  values?: Value[];
  subkeys?: string[];
  complete?: boolean;
  value?: Value;
  keys?: Key[];
  warnings?: string[];
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "reg set".
 */
export interface RegSet {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  key?: string;
  name?: string;
  name_hex?: string;
  type?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "reg rm".
 */
export interface RegRm {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  key?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "reg rm-value".
 */
export interface RegRmValue {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  key?: string;
  name?: string;
  name_hex?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "reg export".
 */
export interface RegExport {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  key?: string;
  file?: string;
  keys?: number;
  values?: number;
  warnings?: string[];
  incomplete?: string[];
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "reg import".
 */
export interface RegImport {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  file?: string;
  keys?: number;
  keys_deleted?: number;
  values_set?: number;
  values_deleted?: number;
  via_editor?: number;
  failures?: string[];
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "path".
 */
export interface Path {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  paths?: {
    input: string;
    input_hex?: string;
    path?: string;
    path_hex?: string;
    error?: Error;
  }[];
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "drive add".
 */
export interface DriveAdd {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  directory?: string;
  letter?: string;
  new?: boolean;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "drive rm".
 */
export interface DriveRm {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  letter?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "drive list".
 */
export interface DriveList {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  drives?: {
    letter: string;
    target: string;
    target_hex?: string;
    exists: boolean;
  }[];
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "find".
 */
export interface Find {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  entries?: {
    name: string;
    name_hex?: string;
    directory: boolean;
  }[];
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "folder".
 */
export interface Folder {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  name?: string;
  path?: string;
  path_hex?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "env".
 */
export interface Env {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  name?: string;
  value?: string;
  value_hex?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "dir".
 */
export interface Dir {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  path?: string;
  path_hex?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "printer add".
 */
export interface PrinterAdd {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  printers?: string[];
  installer_exit?: number;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "request".
 */
export interface Request {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  request?: string;
  request_hex?: string;
  answer?: string;
  answer_hex?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "batch".
 */
export interface Batch {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "version".
 */
export interface Version {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  version?: string;
  schema?: 2;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "agent status".
 */
export interface AgentStatus {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  prefix?: string;
  pid?: unknown;
  uptime_seconds?: unknown;
  requests?: unknown;
  other_clients?: unknown;
  server_pid?: unknown;
  server_starts?: unknown;
  persist_seconds?: unknown;
  running?: boolean;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "agent stop".
 */
export interface AgentStop {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  prefix?: string;
  stopped_pid?: unknown;
  running?: boolean;
}
/**
 * The hello: the first line of qvctl serve, before any request.
 *
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "serve".
 */
export interface Serve {
  ok?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
  protocol?: 1;
  schema?: 2;
  version?: string;
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "help".
 */
export interface Help {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  topic: string;
  text: string;
}
/**
 * One line of qvctl serve's input: the words of a qvctl command line and an id copied to its result.
 *
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "serve request".
 */
export interface ServeRequest {
  id?: RequestId;
  /**
   * @minItems 1
   */
  argv: [string, ...string[]];
}
/**
 * This interface was referenced by `undefined`'s JSON-Schema
 * via the `definition` "failure".
 */
export interface Failure {
  ok?: unknown;
  id?: unknown;
  line?: unknown;
  command?: unknown;
  exit?: unknown;
  error?: unknown;
}
