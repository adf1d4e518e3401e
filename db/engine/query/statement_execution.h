// Execution of one parsed statement of any kind. SELECT leaves its result
// in `result`; the other kinds leave it empty. Rows affected and the time go
// into the query.
#pragma once

#include <memory>

#include "db/engine/query/query_result.h"
#include "db/engine/sql/data_query.h"

namespace kura {

class TQueryStatement;

void ExecuteQuery(TQueryStatement& statement, TDataQuery& query,
                  std::unique_ptr<TQueryResult>* result);

// The millisecond tick counter (wraps after 2^32 ms).
std::uint32_t TickCount();

}  // namespace kura
