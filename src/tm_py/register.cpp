// The registration order is part of the module's interface: CASH_SCALE, the
// classes, then the functions.
#include "tm_py/register.h"

#include "tm_py/module_state.h"
#include "tm_py/context_type.h"
#include "tm_py/embedded.h"
#include "tm_py/examine.h"
#include "tm_py/int64_array_type.h"
#include "tm_py/lookahead_report_type.h"
#include "tm_py/mode_comparison_type.h"
#include "tm_py/order_type.h"
#include "tm_py/run_backtest.h"
#include "tm_py/run_result_type.h"
#include "tm_py/tick_type.h"
#include "tm_py/tick_source_type.h"
#include "tm_types/fixed.h"

namespace tm_py {

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
         add_lookahead_check(module) &&           //
         add_int64_array_class(module, state) &&  //
         add_embedded_python(module);
}

}  // namespace tm_py
