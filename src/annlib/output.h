// The output annotator inside the library: a new file that replaces its
// target only once it is complete and on disk.
#pragma once

// Starts an output that will replace the file at path (owned from here on),
// or, when create is set, make it where no file stands. Checks what stands
// there now and whether the folder takes a new file; the temporary file
// itself is made only when the first bytes go out. Returns 0, or -1 with the
// reason recorded (and path released).
int open_output(char* path, bool create);

// Whether open_output would succeed for path, found without creating or
// changing anything. Returns 0 or -1 with the reason recorded.
int check_output(char* path, bool create);

// Whether an output is open.
bool output_open();

// Finishes the open output and puts it in its target's place. Returns 0,
// or -1 when anything failed: then the target is as it was, the temporary
// file removed, and the reason recorded.
int complete_output();

// Ends an open output without completing it: the target stays as it was.
void abandon_output();
