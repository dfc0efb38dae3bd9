// The registration order is part of the module's interface: CASH_SCALE, the
// classes, then the functions.
#include "tm_py/tier/register.h"

#include "tm_py/state.h"
#include "tm_py/tier/context.h"
#include "tm_py/tier/examine.h"
#include "tm_py/tier/lookahead_report.h"
#include "tm_py/tier/mode_comparison.h"
#include "tm_py/tier/order.h"
#include "tm_py/tier/run.h"
#include "tm_py/tier/run_result.h"
#include "tm_py/tier/tick.h"
#include "tm_py/tier/tick_source.h"
#include "tm_types/fixed.h"

namespace tm_py::tier {

bool register_all(PyObject* module) {
  State* state = state_of(module);
  return PyModule_AddIntConstant(module, "CASH_SCALE", tm_types::CASH_SCALE) == 0 &&
         add_tick_class(module, state) &&         //
         add_tick_source_class(module, state) &&  //
         add_context_class(module, state) &&      //
         add_order_class(module, state) &&        //
         add_run_result_class(module, state) &&   //
         add_mode_comparison_class(module, state) &&    //
         add_lookahead_report_class(module, state) &&   //
         add_load_ticks(module) &&                //
         add_save_ticks(module) &&                //
         add_run_backtest(module) &&              //
         add_compare_modes(module) &&             //
         add_lookahead_check(module);
}

}  // namespace tm_py::tier
