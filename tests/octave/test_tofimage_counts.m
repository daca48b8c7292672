function test_tofimage_counts()
% n and numCores as every host reads them: the cases of tests/cases/counts.txt,
% which the Python package runs too, on tofimage and tofimage_frames.
cases = read_cases(repo_path('tests', 'cases', 'counts.txt'));
base = worked_example_args(1);
position = struct('n', 2, 'numCores', 11);
for k = 1:numel(cases)
  c = cases{k};
  args = base;
  args{position.(c.argument)} = c.value;
  label = sprintf('%s = %s', c.argument, c.text);
  for fcn = {'tofimage', 'tofimage_frames'}
    if isnan(c.size)
      check_error_of(fcn{1}, c.result, 1, args{:});
    else
      want = base;
      want{2} = c.size;
      check_equal(feval(fcn{1}, args{:}), feval(fcn{1}, want{:}), [fcn{1} ', ' label]);
      check_equal(size(feval(fcn{1}, args{:}), 1), c.size, [fcn{1} ' size, ' label]);
    end
  end
end
fprintf('test_tofimage_counts: %d cases passed\n', numel(cases));
end

function cases = read_cases(file)
% Each line: argument, value, and the size of the image or the error.
text = strsplit(fileread(file), sprintf('\n'));
cases = {};
for k = 1:numel(text)
  line = strtrim(text{k});
  if isempty(line) || line(1) == '#'
    continue;
  end
  [argument, rest] = strtok(line);
  [value, rest] = strtok(rest);
  result = strtrim(rest);
  cases{end + 1} = struct('argument', argument, 'text', value, 'value', str2double(value), ...
                          'result', result, 'size', str2double(result)); %#ok<AGROW>
end
end
