// The registration order is part of the module's interface: every name is
// added here, and nowhere else, in the order a module object lists them.
#include "tm_py/register.h"

#include "tm_py/compare_modes.h"
#include "tm_py/context_type.h"
#include "tm_py/depth_files.h"
#include "tm_py/embedded.h"
#include "tm_py/import_csv.h"
#include "tm_py/int64_array_type.h"
#include "tm_py/lookahead_check.h"
#include "tm_py/lookahead_report_type.h"
#include "tm_py/mode_comparison_type.h"
#include "tm_py/module_state.h"
#include "tm_py/order_type.h"
#include "tm_py/order_values.h"
#include "tm_py/run_backtest.h"
#include "tm_py/run_result_type.h"
#include "tm_py/stats_functions.h"
#include "tm_py/tick_files.h"
#include "tm_py/tick_source_read.h"
#include "tm_py/tick_source_type.h"
#include "tm_py/tick_type.h"
#include "tm_py/tick_writer_type.h"
#include "tm_types/fixed.h"

namespace tm_py {
namespace {

constexpr const char* kModuleDoc = "Evaluate the backtest you already have.";

bool add_doc(PyObject* module) {
  PyObject* doc = PyUnicode_FromString(kModuleDoc);
  if (doc == nullptr) return false;
  const int set = PyObject_SetAttrString(module, "__doc__", doc);
  Py_DECREF(doc);
  return set == 0;
}

}  // namespace

bool register_all(PyObject* module) {
  State* state = state_of(module);
  return add_doc(module) &&                                                           //
         add_statistics_functions(module) &&                                          //
         PyModule_AddIntConstant(module, "CASH_SCALE", tm_types::CASH_SCALE) == 0 &&  //
         add_tick_class(module, state) &&                                             //
         add_tick_source_class(module, state) &&                                      //
         add_context_class(module, state) &&                                          //
         add_order_class(module, state) &&                                            //
         add_run_result_class(module, state) &&                                       //
         add_mode_comparison_class(module, state) &&                                  //
         add_lookahead_report_class(module, state) &&                                 //
         add_tick_file_functions(module) &&                                           //
         add_run_backtest(module) &&                                                  //
         add_compare_modes(module) &&                                                 //
         add_lookahead_check(module) &&                                               //
         add_int64_array_class(module, state) &&                                      //
         add_import_csv(module) &&                                                    //
         add_tick_writer_class(module, state) &&                                      //
         add_tick_chunks_class(module, state) &&                                      //
         add_embedded_python(module) &&                                               //
         add_order_values(module, state) &&                                           //
         add_depth_file_functions(module);
}

}  // namespace tm_py
