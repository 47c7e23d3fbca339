// What generate_swug_bin returns. Both modes turn everything but kStamped
// into exit status 1.
#ifndef XMLSTAMP_RESULTS_H_
#define XMLSTAMP_RESULTS_H_

enum {
    kStamped = 1,         // the output was written whole
    kParameterError = 0,  // wrong number of arguments; nothing touched
    kCantOpen = -1,       // the input could not be opened; nothing written
    kCantRead = -2,       // reading the input failed part-way; nothing written
    kCantWrite = -3,      // the output could not be written; the old one is intact
    kNoWorkDir = -4,      // a "./" path with no working directory; nothing touched
    kTooLarge = -5,       // the input does not fit in memory; nothing written
    kNotFlushed = -6,     // the new output is in place, but may not be on disk
};

#endif  // XMLSTAMP_RESULTS_H_
