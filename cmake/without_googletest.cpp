// Stands in for a test binary in a build configured without GoogleTest.
#error \
    "GoogleTest was not found when this build folder was configured: `make test` installs it (libgtest-dev) and configures the folder again"
