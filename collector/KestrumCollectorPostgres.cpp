// The PostgreSQL engine.
#include "collector/KestrumCollectorStore.h"

namespace collector {

std::unique_ptr<SqlConnection> OpenPostgres(const std::string&) { throw SqlError("this collector was built without PostgreSQL"); }

}  // namespace collector
