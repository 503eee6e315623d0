"""The operator command, plugin-loader: the command line (cli), calls of the
module's functions (calls), database values (values), checks of an
installation (checks) and deploys (deploy).  scripts/plugin-loader runs it."""
