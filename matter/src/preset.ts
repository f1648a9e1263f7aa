// preset.ts - matter.js's own settings, before matter.js starts.
//
// Imported first by main.ts: matter.js reads its settings when its
// platform module loads, and by default takes them from the process's
// arguments ("--storage DIR" would be its own storage option too), from
// MATTER_* variables and from a config.json in its storage.  kelvo-matter's
// options are its own, so all three are off; so are matter.js's signal
// handlers, since main() stops the node itself.
import { config } from "@matter/nodejs/config";

config.loadProcessArgv = false;
config.loadProcessEnv = false;
config.loadConfigFile = false;
config.trapProcessSignals = false;
config.setProcessExitCodeOnError = false;
