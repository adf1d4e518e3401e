// Execution of a SELECT: the live test, live results on the source table's
// cursor, and canned results produced into a result table.
//
// Canned production: the sources are read under their read locks (a single
// source through record selection, which uses an index where one serves the
// WHERE condition), joined left to right (a hash join where the ON condition,
// or for inner and comma joins the WHERE condition, equates expressions of
// the new table with expressions of the tables before it; else a nested
// loop), tested against WHERE, and turned into rows: plain columns copied,
// expressions evaluated, or grouped with their aggregates. The rows are
// then made distinct, ordered, cut to TOP n, joined with the UNION parts
// and appended to the result table.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "db/engine/expression/expression.h"
#include "db/engine/query/query_result.h"
#include "db/engine/sql/data_query.h"

namespace kura {

class TQueryStatement;
class TRowLayout;

using TResultRow = std::vector<TExpValue>;

// Runs the main query of a SELECT statement.
std::unique_ptr<TQueryResult> ExecuteSelect(TQueryStatement& statement, TDataQuery& query);

// Produces the rows of a query block (and its UNION parts) without a
// result table: for sub-selects and INSERT ... SELECT. `shapes` receives
// the column shapes.
std::vector<TResultRow> ProduceRows(TQueryStatement& statement, TDataQuery& query,
                                    std::vector<TValueShape>* shapes);

// The target records of an UPDATE or DELETE over joined sources (source 0
// is the target): each record that at least one joined row passing the ON
// conditions and WHERE contains, with `expressions` (bound over the joined
// row) evaluated on the first such row.
std::map<std::int32_t, std::vector<TExpValue>> JoinedTargets(TQueryStatement& statement,
                                                             TDataQuery& query,
                                                             std::vector<TExpToken*> expressions);

// Fills the IN (SELECT ...) nodes of a tree with the sub-selects' values
// (turning them into IN lists for this run) and puts back the sub-select
// form first when a run before left values there.
// A sub-select whose WHERE names tables of the query around it is
// correlated: it runs per distinct outer value combination, read from the
// records of `outer` (the enclosing query's row layout).
void PrepareSubSelects(TQueryStatement& statement, TExpToken* tree,
                       const TRowLayout* outer = nullptr);

}  // namespace kura
