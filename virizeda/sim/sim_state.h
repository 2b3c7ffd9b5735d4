// Device state that a real camera keeps in flash (configuration ROM, saved
// local parameters, calibration), kept in the directory named by
// VIRIZEDA_SIM_STATE so that a later process finds what an earlier one
// programmed. Every failure is reported through dcamDebug.
#ifndef VIRIZEDA_SIM_STATE_H
#define VIRIZEDA_SIM_STATE_H

#include <string>

// The state directory, or "" when persistence is off.
std::string vz_state_dir();
// File name of one kind of state ("rom", "local", "calib") of a camera.
std::string vz_state_file(int cam, const std::string &chip_id,
                          const char *kind);
// Read a state file; false when there is none or it cannot be read (the
// latter reported). *data holds the whole file on success.
bool vz_state_load(const std::string &path, std::string *data);
// Replace a state file with data, as one whole; false (reported) on failure.
bool vz_state_save(const std::string &path, const std::string &data);

#endif
