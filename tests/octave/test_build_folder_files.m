function test_build_folder_files()
% The build folder alone on the path is enough: besides the modules it holds
% the help files and tofimage_grid.m (check_user_files).
folder = fileparts(which('tofimage'));
check_user_files(folder, 'the folder of the modules');
fprintf('test_build_folder_files: %s holds the M-files users call\n', folder);
end
