// Inspect and change a Wine prefix fast: a thin client of `qvctl serve`.
//
//   const p = await Prefix.open("/path/to/prefix");
//   await p.dllSet("d3d11", "native");
//   await p.close();
export * as calls from "./calls";
export type { Call, RegSetData } from "./calls";
export { NotFound, QvError, Refused, ServerGone, Timeout, UsageError } from "./errors";
export { Prefix, defaultPrefix, findQvctl } from "./prefix";
export type { CallOptions, PrefixOptions } from "./prefix";
export type * from "./types";
