// Where job definitions are kept: one file per job, $APPDATA/jobs/<id>.json,
// written under a temporary name and renamed, so a crash leaves the old one.
#ifndef JOB_JOB_DEFINITION_STORE_H
#define JOB_JOB_DEFINITION_STORE_H

#include <string>
#include <vector>

#include "agent/job/job_definition.h"

class Job_Definition_Store {
 public:
  // Ids name files: letters, digits, '.', '_' and '-', not leading '.'.
  static bool usable_id(const std::string& id);

  std::string folder() const;
  // Makes the folder when missing and reads every definition in it, in the
  // order of the file names; a file that cannot be read, or whose id is not
  // its name, is logged and skipped.
  std::vector<Job_Definition_Ptr> load_all();
  // The definition kept for `id`; null (logged) when it cannot be read.
  Job_Definition_Ptr load(const std::string& id);
  // Writes the definition's file; false (logged) when it cannot.
  bool keep(const Job_Definition& definition);
  void remove(const std::string& id);

 private:
  std::string path_of(const std::string& id) const;
  Job_Definition_Ptr read(const std::string& path);
};

#endif
