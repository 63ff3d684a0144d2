# SPDX-License-Identifier: MIT
# kelvo_embed(TARGET SYMBOL FILE): FILE's bytes built into TARGET as the
# constant array kelvo::SYMBOL, its length kelvo::SYMBOL##Size, so that a
# program needs no file beside it at run time.
set(KELVO_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/embedResource.cmake)

function(kelvo_embed target symbol input)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${symbol}.cpp)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${input} -DOUTPUT=${output} -DSYMBOL=${symbol} -P ${KELVO_EMBED_SCRIPT}
    DEPENDS ${input} ${KELVO_EMBED_SCRIPT}
    COMMENT "Embedding ${input} as ${symbol}"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()
