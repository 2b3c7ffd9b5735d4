// Device state that a real camera keeps in flash (configuration ROM, saved
// local parameters, calibration), kept in the directory named by
// VIRIZEDA_SIM_STATE so that a later process finds what an earlier one
// programmed. Every failure is reported through dcamDebug.
#ifndef VIRIZEDA_SIM_STATE_H
#define VIRIZEDA_SIM_STATE_H

#include <string>
#include <vector>

// The state directory, or "" when persistence is off.
std::string vz_state_dir();
// File name of one kind of state ("rom", "local", "calib") of a camera.
std::string vz_state_file(int cam, const std::string &chip_id,
                          const char *kind);
// Read a state file into *data; false when there is none or it cannot be
// read (the latter reported; a FIFO, device or link is skipped, never
// waited on).
bool vz_state_load(const std::string &path, std::string *data);
// Store data in a state file, under a lock of the directory. With
// `written`, the quadlets this process wrote since it last saved the file,
// only those go on top of what the file holds now, so that processes
// sharing the directory keep each other's writes; without it (a
// calibration, one whole), or when the file is missing or of another size,
// data replaces the file. False (reported) on failure.
bool vz_state_save(const std::string &path, const std::string &data,
                   const std::vector<int> *written = nullptr);

#endif
