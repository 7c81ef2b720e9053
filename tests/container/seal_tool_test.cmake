# Runs velmora-seal as a user would: keygen, seal a map into a copy of a program, verify;
# then the refusals (an image of 16 MiB, a program that already carries a container).
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(run expect_ok)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
  if(expect_ok AND NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  elseif(NOT expect_ok AND rc EQUAL 0)
    message(FATAL_ERROR "should have failed: ${ARGN}\n${out}")
  endif()
endfunction()

file(WRITE "${WORK}/test.map" "[MapFileInfo]\r\nProduct=1234\r\nProvider=0\r\n[CheckSum]\r\nSum=0:0\r\n")
run(TRUE "${SEAL}" keygen --key-file "${WORK}/k.key" --private-key "${WORK}/k.pem")
run(FALSE "${SEAL}" keygen --key-file "${WORK}/k.key" --private-key "${WORK}/k.pem")
run(TRUE "${SEAL}" seal --key-file "${WORK}/k.key" --private-key "${WORK}/k.pem"
    --map "${WORK}/test.map" --program "${SEAL}" -o "${WORK}/sealed")
run(TRUE "${SEAL}" verify --key-file "${WORK}/k.key" "${WORK}/sealed" --lines 2)
if(NOT out MATCHES "container verified" OR NOT out MATCHES "\\[MapFileInfo\\]\nProduct=1234\n$")
  message(FATAL_ERROR "verify output: ${out}")
endif()

# Another key set does not open it; an unsealed program carries nothing.
run(TRUE "${SEAL}" keygen --key-file "${WORK}/other.key" --private-key "${WORK}/other.pem")
run(FALSE "${SEAL}" verify --key-file "${WORK}/other.key" "${WORK}/sealed")
if(NOT err MATCHES "Error reading embedded data! ")
  message(FATAL_ERROR "expected the loader's message: ${err}")
endif()
run(FALSE "${SEAL}" verify --key-file "${WORK}/k.key" "${SEAL}")
if(NOT err MATCHES "carries no container")
  message(FATAL_ERROR "unexpected: ${err}")
endif()

# Already sealed; a private key of another pair.
run(FALSE "${SEAL}" seal --key-file "${WORK}/k.key" --private-key "${WORK}/k.pem"
    --map "${WORK}/test.map" --program "${WORK}/sealed" -o "${WORK}/twice")
run(FALSE "${SEAL}" seal --key-file "${WORK}/k.key" --private-key "${WORK}/other.pem"
    --map "${WORK}/test.map" --program "${SEAL}" -o "${WORK}/mixed")

# 16 MiB is one byte too many for the trailer's 24-bit position.
string(REPEAT "0123456789abcdef" 1024 chunk16k)
string(REPEAT "${chunk16k}" 1024 image16m)
file(WRITE "${WORK}/big" "${image16m}")
run(FALSE "${SEAL}" seal --key-file "${WORK}/k.key" --private-key "${WORK}/k.pem"
    --map "${WORK}/test.map" --program "${WORK}/big" -o "${WORK}/big.sealed")
if(NOT err MATCHES "16 MiB")
  message(FATAL_ERROR "the refusal should say why: ${err}")
endif()
file(REMOVE_RECURSE "${WORK}")
