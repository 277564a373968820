// Writes one whole JSON reply into a generator the channel hands it, so a
// reply of any size streams out without being built in memory first.
#ifndef MDRT_JSON_GENERATOR_H
#define MDRT_JSON_GENERATOR_H

struct yajl_gen_t;

class JSON_Generator {
 public:
  virtual ~JSON_Generator();
  // False when the reply could not be written completely.
  virtual bool generate(yajl_gen_t* g) = 0;
};

#endif
