// The driver: the run from banner to exit status.
#pragma once

void show_banner();
void show_usage();

// The whole run, from banner to exit status.
int rawgraft_main(int argc, char** argv);
