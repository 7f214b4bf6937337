// The package's errors: what `qvctl --json` reports as its error object,
// thrown as the class of its kind. Every one is a QvError.

// Win32 errors that mean "no such key, value, file or folder".
const NOT_FOUND_CODES = [2, 3];

/** A command failed. kind: the schema's error kind, or this package's own
 * ("timeout", "closed"); code: the Win32 error or null; exit: qvctl's exit
 * code (2 what was given, 1 what the prefix refused, 3 the environment);
 * partial: the result object when the command still read something. */
export class QvError extends Error {
  constructor(
    readonly kind: string,
    message: string,
    readonly code: number | null = null,
    readonly exit: number = 1,
    readonly partial: Record<string, unknown> | null = null,
  ) {
    super(message);
    this.name = new.target.name;
  }

  /** The error of the class that fits a failed result. */
  static fromResult(result: Record<string, unknown>): QvError {
    const error = (result.error ?? {}) as { kind?: string; message?: string; code?: number | null };
    const code = typeof error.code === "number" ? error.code : null;
    const exit = typeof result.exit === "number" ? result.exit : 1;
    const cls = exit === 2 ? UsageError : exit === 3 ? ServerGone : code !== null && NOT_FOUND_CODES.includes(code) ? NotFound : Refused;
    return new cls(String(error.kind ?? "server"), String(error.message ?? "the command failed"), code, exit, result);
  }
}

/** Refused before anything was sent (qvctl's exit 2): the prefix is unchanged. */
export class UsageError extends QvError {}

/** The prefix refused or failed the operation (qvctl's exit 1). */
export class Refused extends QvError {}

/** No such key, value, file or folder (Win32 error 2 or 3). */
export class NotFound extends Refused {}

/** The server, the agent or what they need is gone (qvctl's exit 3): serve
 * ended, no prefix, no Wine. The next call starts serve anew. */
export class ServerGone extends QvError {}

/** No answer in time. The request may still take effect; its late answer is dropped. */
export class Timeout extends QvError {}
